#include "imagestore/container/stream_objects.h"

#include "imagestore/container/store_container.h"
#include "imagestore/store_error.h"

#include <algorithm>
#include <cstring>

namespace kwv {

StreamReader::StreamReader(StoreContainer* container, uint64_t start, uint64_t length)
    : container_(container), start_(start), length_(length) {
    container_->AddRef();
}

uint32_t StreamReader::Release() {
    if (--refs_ != 0) {
        return refs_;
    }
    Detach();
    delete this;
    return 0;
}

void StreamReader::Detach() {
    if (container_ != nullptr) {
        StoreContainer* c = container_;
        container_ = nullptr;
        c->Detach(this);
        c->Release();
    }
}

int StreamReader::Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    if (container_ == nullptr) {
        return kStoreWrongMode;
    }
    if (offset >= length_) {
        return kStoreOk;
    }
    const uint64_t n = std::min<uint64_t>(length, length_ - offset);
    uint64_t done = 0;
    const int err = container_->ReadSpace(start_ + offset, static_cast<uint8_t*>(buffer), n, &done);
    if (bytesRead != nullptr) {
        *bytesRead = uint32_t(done); // what was delivered, also before a failure
    }
    return err;
}

StreamWriter::StreamWriter(StoreContainer* container, uint32_t id)
    : container_(container), id_(id) {
    container_->AddRef();
}

uint32_t StreamWriter::Release() {
    if (--refs_ != 0) {
        return refs_;
    }
    Detach();
    delete this;
    return 0;
}

void StreamWriter::Detach() {
    if (container_ == nullptr) {
        return;
    }
    StoreContainer* c = container_;
    container_ = nullptr;
    if (StreamEntry* e = c->Table().ById(id_)) {
        e->start = start_;
        e->length = written_;
    }
    c->Detach(this);
    c->Release();
}

int StreamWriter::Write(uint64_t offset, const void* data, uint32_t length) {
    if (failed_ != kStoreOk) {
        return failed_; // some of the bytes of the failed write may lie in the space
    }
    if (container_ == nullptr || offset != written_) {
        return kStoreWrongMode;
    }
    if (length == 0) {
        return kStoreOk;
    }
    uint64_t first = 0;
    const int err = container_->AppendSpace(static_cast<const uint8_t*>(data), length, &first);
    if (err != kStoreOk) {
        failed_ = err;
        return err;
    }
    if (written_ == 0) {
        start_ = first;
    }
    written_ += length;
    return kStoreOk;
}

int StreamWriter::SetInlineData(const void* data, uint32_t length) {
    if (container_ == nullptr) {
        return kStoreWrongMode;
    }
    return container_->Table().SetInline(id_, static_cast<const uint8_t*>(data), length);
}

StreamEnumerator::StreamEnumerator(StoreContainer* container, uint32_t parent)
    : container_(container), parent_(parent) {
    container_->AddRef();
}

uint32_t StreamEnumerator::Release() {
    if (--refs_ != 0) {
        return refs_;
    }
    Detach();
    delete this;
    return 0;
}

void StreamEnumerator::Detach() {
    if (container_ != nullptr) {
        StoreContainer* c = container_;
        container_ = nullptr;
        c->Detach(this);
        c->Release();
    }
}

int StreamEnumerator::Next(char* name, size_t size) {
    if (container_ == nullptr) {
        return kStoreWrongMode;
    }
    StreamTable& table = container_->Table();
    const StreamEntry* parent = table.ById(parent_);
    while (parent != nullptr && next_ < parent->children.size()) {
        const StreamEntry* child = table.ById(parent->children[next_++]);
        if (child == nullptr) {
            continue; // a child id with no entry
        }
        if (name != nullptr && size > 0) {
            const std::string text = child->NarrowName();
            const size_t n = std::min(text.size(), size - 1);
            std::memcpy(name, text.data(), n);
            name[n] = '\0';
        }
        return kStoreOk;
    }
    return kStoreNoMoreNames;
}

} // namespace kwv
