#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Xlib's own declaration, so that its macros stay out of the files that include this one.
typedef struct _XDisplay Display;

namespace quillane::host {

// A window property as the server holds it.
struct X11Property {
    unsigned long type = 0;
    int format = 0;
    std::string bytes;                  // format 8
    std::vector<std::uint32_t> values;  // formats 16 and 32, widened or masked to 32 bits
};

// Up to maxLongs 32-bit units of the property; nothing when it is missing, of
// another type (unless type is AnyPropertyType) or of an unknown format.
std::optional<X11Property> readX11Property(Display* display, unsigned long window, unsigned long name,
                                           unsigned long type, long maxLongs);

}  // namespace quillane::host
