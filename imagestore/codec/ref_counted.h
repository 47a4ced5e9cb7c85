// Reference counting shared by the library's codec objects.
#pragma once

#include <cstdint>

// Implements AddRef/Release of `Interface`; the object starts with one
// reference and deletes itself when the last one is released.
template <class Interface> class RefCounted : public Interface {
public:
    uint32_t AddRef() override { return ++refs_; }
    uint32_t Release() override {
        uint32_t left = --refs_;
        if (left == 0) {
            delete this;
        }
        return left;
    }

private:
    uint32_t refs_ = 1;
};
