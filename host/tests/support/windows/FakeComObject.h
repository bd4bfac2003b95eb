#pragma once

#include <unknwn.h>

#include <atomic>

namespace quillane::host::test {

// IUnknown for a test's fake COM object: it starts with its creator's reference,
// answers QueryInterface from facet(), and deletes itself with the last reference.
// Threads: any thread may add and release references.
template <class... Interfaces>
class FakeComObject : public Interfaces... {
public:
    FakeComObject() = default;
    virtual ~FakeComObject() = default;
    FakeComObject(const FakeComObject&) = delete;
    FakeComObject& operator=(const FakeComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = facet(iid);
        if (*object == nullptr) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) {
            delete this;
        } else {
            referenceReleased(left);
        }
        return left;
    }
    ULONG references() const { return refs.load(); }

protected:
    // This object's interface for `iid`, without a reference; null when it has none.
    virtual void* facet(REFIID iid) = 0;
    // After a release that left `left` references (never called with zero).
    virtual void referenceReleased(ULONG /*left*/) {}

private:
    std::atomic<ULONG> refs{1};
};

}  // namespace quillane::host::test
