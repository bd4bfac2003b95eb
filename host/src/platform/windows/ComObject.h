#pragma once

#include <wrl/client.h>

namespace quillane::host {

// Holds a reference a COM function handed out (an element of an array it filled,
// say) without adding one; MinGW's ComPtr::Attach would add another.
template <class T> Microsoft::WRL::ComPtr<T> adoptComObject(T* fresh) {
    Microsoft::WRL::ComPtr<T> held;
    *held.GetAddressOf() = fresh;
    return held;
}

}  // namespace quillane::host
