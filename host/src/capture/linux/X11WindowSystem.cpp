#include "capture/linux/X11WindowSystem.h"

#include "capture/PngEncoder.h"
#include "capture/linux/NetWmIcon.h"
#include "platform/ComputerName.h"
#include "platform/linux/X11ErrorTrap.h"
#include "common/Utf8.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <fstream>

namespace quillane::host {

namespace {

// Longest texts and icons read; anything longer is cut (texts) or loses the
// images that no longer fit (icons).
constexpr long kMaxTextLongs = 16 * 1024;
constexpr long kMaxIconLongs = 1024 * 1024;
constexpr long kMaxListLongs = 64 * 1024;
constexpr std::size_t kMaxClassChars = 255;

constexpr unsigned long kMwmHintsDecorations = 1ul << 1;
constexpr unsigned long kMwmDecorAll = 1ul << 0;
constexpr unsigned long kMwmDecorBorder = 1ul << 1;
constexpr unsigned long kMwmDecorTitle = 1ul << 3;

// Same order as the members of X11WindowSystem::Atoms.
constexpr const char* kAtomNames[] = {
    "_NET_CLIENT_LIST",
    "_NET_WM_NAME",
    "UTF8_STRING",
    "_NET_WM_PID",
    "_NET_WM_ICON",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_MAXIMIZED_VERT",
    "_NET_WM_STATE_MAXIMIZED_HORZ",
    "_NET_WM_STATE_SKIP_TASKBAR",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
    "_MOTIF_WM_HINTS",
    "WM_STATE",
    "_NET_WM_DESKTOP",
    "_NET_CURRENT_DESKTOP",
};
constexpr std::size_t kAtomCount = sizeof(kAtomNames) / sizeof(kAtomNames[0]);

constexpr std::uint32_t kAllDesktops = 0xFFFFFFFFu;

std::string cutAtNul(std::string text) {
    if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
    return text;
}

std::string shortHostName(const std::string& name) {
    return name.substr(0, name.find('.'));
}

std::string readLink(const std::string& path) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) return {};
    target.resize(static_cast<std::size_t>(n));
    // An executable replaced on disk since it started still names the process.
    constexpr std::string_view deleted = " (deleted)";
    if (target.size() > deleted.size() && target.ends_with(deleted)) target.resize(target.size() - deleted.size());
    return target;
}

std::atomic<bool> warnedNoDisplay{false};

}  // namespace

struct X11WindowSystem::Atoms {
    Atom clientList, wmName, utf8String, wmPid, wmIcon, netState, stateHidden, stateMaxVert, stateMaxHorz,
        stateSkipTaskbar, windowType, typeNormal, typeDialog, typeDesktop, typeDock, typeToolbar, typeMenu,
        typeUtility, typeSplash, typeDropdownMenu, typePopupMenu, typeTooltip, typeNotification, typeCombo,
        typeDnd, motifHints, icccmState, wmDesktop, currentDesktop;
};

std::unique_ptr<WindowSystem> createWindowSystem() {
    auto system = std::make_unique<X11WindowSystem>();
    if (!system->connected() && !warnedNoDisplay.exchange(true))
        SPDLOG_WARN("Cannot open the X display; the window list stays empty");
    return system;
}

X11WindowSystem::X11WindowSystem(const char* displayName) {
    connection = XOpenDisplay(displayName);
    if (connection == nullptr) return;
    trap = std::make_unique<X11ErrorTrap>(connection);
    root = DefaultRootWindow(connection);
    static_assert(sizeof(Atoms) == kAtomCount * sizeof(Atom));
    atoms = std::make_unique<Atoms>();
    XInternAtoms(connection, const_cast<char**>(kAtomNames), static_cast<int>(kAtomCount), False,
                 reinterpret_cast<Atom*>(atoms.get()));
}

X11WindowSystem::~X11WindowSystem() {
    if (connection == nullptr) return;
    trap.reset();
    XCloseDisplay(connection);
}

std::size_t X11WindowSystem::errorCount() {
    if (connection == nullptr) return 0;
    XSync(connection, False);
    return trap->errorCount();
}

std::optional<X11WindowSystem::Property> X11WindowSystem::readProperty(unsigned long window, unsigned long name,
                                                                        unsigned long type, long maxLongs) const {
    return readX11Property(connection, window, name, type, maxLongs);
}

std::vector<unsigned long> X11WindowSystem::clientWindows() const {
    std::vector<unsigned long> windows;
    if (auto list = readProperty(root, atoms->clientList, XA_WINDOW, kMaxListLongs); list && list->format == 32) {
        windows.assign(list->values.begin(), list->values.end());
        return windows;
    }
    // No EWMH window manager: the root's children, or inside a reparenting
    // manager's frames the child that carries WM_STATE.
    Window rootReturn = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(connection, root, &rootReturn, &parent, &children, &count)) return windows;
    std::unique_ptr<Window, int (*)(void*)> owned(children, XFree);
    // XQueryTree lists bottom to top.
    for (unsigned int i = count; i-- > 0;) {
        const Window top = children[i];
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(connection, top, &attributes) || attributes.override_redirect ||
            attributes.c_class == InputOnly)
            continue;
        if (readWmState(top)) {
            windows.push_back(top);
            continue;
        }
        Window* inner = nullptr;
        unsigned int innerCount = 0;
        unsigned long client = top;
        if (XQueryTree(connection, top, &rootReturn, &parent, &inner, &innerCount)) {
            std::unique_ptr<Window, int (*)(void*)> ownedInner(inner, XFree);
            for (unsigned int k = 0; k < innerCount; ++k) {
                if (readWmState(inner[k])) {
                    client = inner[k];
                    break;
                }
            }
        }
        windows.push_back(client);
    }
    return windows;
}

void X11WindowSystem::forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) {
    if (connection == nullptr) return;
    X11ErrorTrap::reinstall();
    windowCache = Cache{};
    for (const unsigned long window : clientWindows()) {
        if (!visit(window)) break;
    }
}

X11WindowSystem::Cache& X11WindowSystem::cacheFor(NativeWindow window) {
    if (windowCache.window != window) {
        windowCache = Cache{};
        windowCache.window = window;
    }
    return windowCache;
}

const std::optional<X11WindowSystem::Geometry>& X11WindowSystem::geometry(NativeWindow window) {
    Cache& cache = cacheFor(window);
    if (!cache.geometry) {
        cache.geometry.emplace();
        XWindowAttributes attributes;
        int x = 0, y = 0;
        Window child = 0;
        if (XGetWindowAttributes(connection, window, &attributes) &&
            XTranslateCoordinates(connection, window, root, 0, 0, &x, &y, &child))
            *cache.geometry = Geometry{attributes.map_state == IsViewable,
                                       {x, y, x + attributes.width, y + attributes.height}};
    }
    return *cache.geometry;
}

const std::vector<std::uint32_t>& X11WindowSystem::netWmState(NativeWindow window) {
    Cache& cache = cacheFor(window);
    if (!cache.netWmState) {
        auto p = readProperty(window, atoms->netState, XA_ATOM, 64);
        cache.netWmState.emplace(p && p->format == 32 ? std::move(p->values) : std::vector<std::uint32_t>{});
    }
    return *cache.netWmState;
}

std::optional<std::uint32_t> X11WindowSystem::wmState(NativeWindow window) {
    Cache& cache = cacheFor(window);
    if (!cache.wmState) cache.wmState.emplace(readWmState(window));
    return *cache.wmState;
}

std::optional<std::uint32_t> X11WindowSystem::readWmState(unsigned long window) const {
    auto p = readProperty(window, atoms->icccmState, atoms->icccmState, 2);
    if (!p || p->format != 32 || p->values.empty()) return std::nullopt;
    return p->values.front();
}

bool X11WindowSystem::isVisible(NativeWindow window) {
    if (connection == nullptr) return false;
    const auto& g = geometry(window);
    if (!g) return false;
    if (g->viewable) return true;
    // Iconified windows are unmapped by the manager but still count as shown,
    // as a minimised window does on Windows.
    const auto state = wmState(window);
    return state && (*state == NormalState || *state == IconicState);
}

std::string X11WindowSystem::textProperty(unsigned long window, unsigned long name) const {
    auto p = readProperty(window, name, AnyPropertyType, kMaxTextLongs);
    if (!p || p->format != 8) return {};
    if (p->type == atoms->utf8String) return sanitizeUtf8(cutAtNul(p->bytes));
    if (p->type == XA_STRING) return latin1ToUtf8(cutAtNul(p->bytes));
    // COMPOUND_TEXT and the like: Xlib converts what the locale allows.
    XTextProperty text;
    text.value = reinterpret_cast<unsigned char*>(p->bytes.data());
    text.encoding = p->type;
    text.format = 8;
    text.nitems = p->bytes.size();
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(connection, &text, &list, &count) >= Success && list != nullptr) {
        std::string out = count > 0 && list[0] != nullptr ? sanitizeUtf8(list[0]) : std::string();
        XFreeStringList(list);
        return out;
    }
    return latin1ToUtf8(cutAtNul(p->bytes));
}

std::wstring X11WindowSystem::title(NativeWindow window) {
    if (connection == nullptr) return {};
    Cache& cache = cacheFor(window);
    if (cache.title) return *cache.title;
    std::string text;
    if (auto p = readProperty(window, atoms->wmName, atoms->utf8String, kMaxTextLongs); p && p->format == 8)
        text = sanitizeUtf8(cutAtNul(p->bytes));
    if (text.empty()) text = textProperty(window, XA_WM_NAME);
    cache.title = utf8ToWide(text);
    return *cache.title;
}

std::size_t X11WindowSystem::titleLength(NativeWindow window) {
    return title(window).size();
}

std::wstring X11WindowSystem::className(NativeWindow window) {
    if (connection == nullptr) return {};
    Cache& cache = cacheFor(window);
    if (!cache.className) cache.className = readClassName(window);
    return *cache.className;
}

std::wstring X11WindowSystem::readClassName(unsigned long window) const {
    auto p = readProperty(window, XA_WM_CLASS, XA_STRING, kMaxTextLongs);
    if (!p || p->format != 8) return {};
    // "instance\0class\0": the class names the application, as a window class does on Windows.
    const std::string& bytes = p->bytes;
    const auto firstEnd = bytes.find('\0');
    std::string name = firstEnd == std::string::npos ? bytes : cutAtNul(bytes.substr(firstEnd + 1));
    if (name.empty()) name = cutAtNul(bytes);
    std::wstring wide = utf8ToWide(latin1ToUtf8(name));
    if (wide.size() > kMaxClassChars) wide.resize(kMaxClassChars);
    return wide;
}

WindowStyle X11WindowSystem::style(NativeWindow window) {
    WindowStyle style;
    style.caption = true;
    if (connection == nullptr) return style;
    const Atoms& a = *atoms;
    if (auto types = readProperty(window, a.windowType, XA_ATOM, 32); types && types->format == 32) {
        const Atom toolTypes[] = {a.typeDesktop,      a.typeDock,      a.typeToolbar, a.typeMenu,
                                  a.typeUtility,      a.typeSplash,    a.typeDropdownMenu,
                                  a.typePopupMenu,    a.typeTooltip,   a.typeNotification,
                                  a.typeCombo,        a.typeDnd};
        // The first type this code knows wins; clients list their preferences first.
        for (const std::uint32_t type : types->values) {
            if (type == a.typeNormal) {
                style.appWindow = true;
                break;
            }
            if (type == a.typeDialog) break;
            if (std::find(std::begin(toolTypes), std::end(toolTypes), type) != std::end(toolTypes)) {
                style.toolWindow = true;
                break;
            }
        }
    }
    const auto& state = netWmState(window);
    if (std::find(state.begin(), state.end(), a.stateSkipTaskbar) != state.end()) style.toolWindow = true;
    if (auto hints = readProperty(window, a.motifHints, a.motifHints, 5);
        hints && hints->format == 32 && hints->values.size() >= 3 && (hints->values[0] & kMwmHintsDecorations)) {
        const unsigned long decorations = hints->values[2];
        const unsigned long frame = kMwmDecorBorder | kMwmDecorTitle;
        // With "all" set, the other bits name what to leave out.
        style.caption = (decorations & kMwmDecorAll) ? (decorations & frame) != frame : (decorations & frame) != 0;
    }
    return style;
}

bool X11WindowSystem::isCloaked(NativeWindow window) {
    if (connection == nullptr) return false;
    if (!currentDesktop) {
        auto current = readProperty(root, atoms->currentDesktop, XA_CARDINAL, 1);
        currentDesktop.emplace(current && current->format == 32 && !current->values.empty()
                                    ? std::optional<std::uint32_t>(current->values.front())
                                    : std::nullopt);
    }
    if (!*currentDesktop) return false;
    auto desktop = readProperty(window, atoms->wmDesktop, XA_CARDINAL, 1);
    if (!desktop || desktop->format != 32 || desktop->values.empty()) return false;
    const std::uint32_t d = desktop->values.front();
    return d != kAllDesktops && d != **currentDesktop;
}

std::optional<WindowRect> X11WindowSystem::rect(NativeWindow window) {
    if (connection == nullptr) return std::nullopt;
    const auto& g = geometry(window);
    if (!g) return std::nullopt;
    return g->rect;
}

bool X11WindowSystem::isMinimized(NativeWindow window) {
    if (connection == nullptr) return false;
    const auto& state = netWmState(window);
    if (std::find(state.begin(), state.end(), atoms->stateHidden) != state.end()) return true;
    const auto icccm = wmState(window);
    return icccm && *icccm == IconicState;
}

bool X11WindowSystem::isMaximized(NativeWindow window) {
    if (connection == nullptr) return false;
    const auto& state = netWmState(window);
    const auto has = [&](Atom atom) { return std::find(state.begin(), state.end(), atom) != state.end(); };
    return has(atoms->stateMaxVert) && has(atoms->stateMaxHorz);
}

bool X11WindowSystem::isLocalClient(unsigned long window) const {
    // A client on another machine (a remote X connection) has a process id that
    // means nothing here.
    auto machine = readProperty(window, XA_WM_CLIENT_MACHINE, AnyPropertyType, 64);
    if (!machine || machine->format != 8) return true;
    const std::string theirs = cutAtNul(machine->bytes);
    if (theirs.empty() || theirs == "localhost") return true;
    const std::string ours = computerName();
    return theirs == ours || shortHostName(theirs) == shortHostName(ours);
}

std::wstring X11WindowSystem::processImagePath(NativeWindow window) {
    if (connection == nullptr) return {};
    auto p = readProperty(window, atoms->wmPid, XA_CARDINAL, 1);
    if (!p || p->format != 32 || p->values.empty()) return {};
    const std::uint32_t pid = p->values.front();
    if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX) || !isLocalClient(window)) return {};
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string path = readLink(proc + "/exe");
    if (path.empty()) {
        // Another user's process hides its executable but not its name.
        std::ifstream comm(proc + "/comm");
        std::getline(comm, path);
    }
    return utf8ToWide(path);
}

WindowIconPng X11WindowSystem::iconPng(NativeWindow window) {
    if (connection == nullptr) return {};
    auto p = readProperty(window, atoms->wmIcon, XA_CARDINAL, kMaxIconLongs);
    if (!p || p->format != 32) return {};
    const auto images = parseNetWmIcon(p->values);
    const auto chosen = chooseNetWmIcon(images);
    if (!chosen) {
        if (!p->values.empty()) SPDLOG_DEBUG("Window {:x} has a malformed _NET_WM_ICON", window);
        return {};
    }
    return {WindowIconPng::Outcome::Encoded, encodePng(netWmIconToRgba(p->values, images[*chosen]))};
}

}  // namespace quillane::host
