#include "platform/linux/X11Property.h"

#include <X11/Xlib.h>

#include <memory>

namespace quillane::host {

std::optional<X11Property> readX11Property(Display* display, unsigned long window, unsigned long name,
                                           unsigned long type, long maxLongs) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, name, 0, maxLongs, False, type, &actualType,
                                          &actualFormat, &count, &after, &data);
    std::unique_ptr<unsigned char, int (*)(void*)> owned(data, XFree);
    if (status != Success || actualType == None || data == nullptr) return std::nullopt;
    if (type != AnyPropertyType && actualType != type) return std::nullopt;
    X11Property p;
    p.type = actualType;
    p.format = actualFormat;
    switch (actualFormat) {
    case 8:
        p.bytes.assign(reinterpret_cast<const char*>(data), count);
        break;
    case 16: {
        const auto* shorts = reinterpret_cast<const unsigned short*>(data);
        p.values.assign(shorts, shorts + count);
        break;
    }
    case 32: {
        // Xlib hands format-32 data over as longs, which are 64 bits wide here.
        const auto* longs = reinterpret_cast<const unsigned long*>(data);
        p.values.resize(count);
        for (unsigned long i = 0; i < count; ++i) p.values[i] = static_cast<std::uint32_t>(longs[i] & 0xFFFFFFFFul);
        break;
    }
    default:
        return std::nullopt;
    }
    return p;
}

}  // namespace quillane::host
