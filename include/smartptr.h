// Shared, reference-counted holders for payloads of the support layer
// (KWString and its kin). Single-threaded: counts are plain integers.
#pragma once

#include <cstdint>
#include <new>

// The counted holder: a reference count (-1: not counted) and the payload.
template <class T> struct SharedData {
    std::int32_t count = 0;
    T* data = nullptr;

    void Set(std::int32_t c, T* payload) {
        count = c;
        data = payload;
    }
};

// Points at a payload through a holder. Mode OWNED: the holder is shared by
// every copy and counted; the last one deletes payload and holder. Mode
// BORROWED: the payload belongs to someone else and is never deleted; each
// pointer has a holder of its own marked -1.
template <class T> class SmartPtr {
public:
    static constexpr std::uint32_t BORROWED = 1;
    static constexpr std::uint32_t OWNED = 2;

    SmartPtr() = default;
    // Takes the payload (owned mode: it is deleted when the holder cannot be made).
    SmartPtr(T* payload, std::uint32_t mode) : mode_(mode) { attach(payload); }
    SmartPtr(const SmartPtr& other) { share(other); }
    SmartPtr& operator=(const SmartPtr& other) {
        if (this != &other && holder_ != other.holder_) {
            Release();
            share(other);
        }
        return *this;
    }
    virtual ~SmartPtr() { Release(); }

    // Lets go of the current payload and holds a new one, owned and counted,
    // in a holder of its own (other pointers keep the old payload). False
    // when the holder cannot be made; the payload is then deleted.
    bool Reset(T* payload) {
        Release();
        mode_ = OWNED;
        return attach(payload);
    }

    void Release() {
        if (holder_ != nullptr && mode_ == OWNED && holder_->count > 0 && --holder_->count == 0)
            delete holder_->data;
        if (holder_ != nullptr && (mode_ != OWNED || holder_->count <= 0))
            delete holder_;
        holder_ = nullptr;
    }

    T* Get() const { return holder_ != nullptr ? holder_->data : nullptr; }
    std::int32_t Count() const { return holder_ != nullptr ? holder_->count : 0; }
    std::uint32_t Mode() const { return mode_; }
    bool IsCounted() const { return holder_ != nullptr && mode_ == OWNED && holder_->count > 0; }

private:
    bool attach(T* payload) {
        if (payload == nullptr)
            return true;
        holder_ = new (std::nothrow) SharedData<T>;
        if (holder_ == nullptr) {
            if (mode_ == OWNED)
                delete payload;
            return false;
        }
        holder_->Set(mode_ == OWNED ? 1 : -1, payload);
        return true;
    }

    void share(const SmartPtr& other) {
        mode_ = other.mode_;
        if (other.holder_ == nullptr)
            return;
        if (mode_ == OWNED && other.holder_->count > 0) {
            holder_ = other.holder_;
            ++holder_->count;
        } else {
            mode_ = BORROWED;
            attach(other.holder_->data);
        }
    }

    SharedData<T>* holder_ = nullptr;
    std::uint32_t mode_ = OWNED;
};
