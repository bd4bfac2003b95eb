#pragma once

#include "audio/AudioCaptureBackend.h"

#include <functional>
#include <memory>

struct IMMDeviceEnumerator;

namespace quillane::host {

// Makes the multimedia device enumerator: an HRESULT and, on success, the caller's reference in
// `enumerator`. Tests hand in enumerators of their own this way.
using DeviceEnumeratorFactory = std::function<long(IMMDeviceEnumerator** enumerator)>;
long createSystemDeviceEnumerator(IMMDeviceEnumerator** enumerator);

// WASAPI capture in shared, event-driven mode: loopback of the default output, or the default
// input. A device that goes away (unplugged, disabled, its format changed) or stops being the
// default is replaced by the current default: at once, then every 3 s until one opens; the loss
// is logged once.
std::unique_ptr<AudioCaptureBackend> createWasapiCapture(DeviceEnumeratorFactory makeEnumerator);

}  // namespace quillane::host
