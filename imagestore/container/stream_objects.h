// The stream objects a container hands out. Each holds a reference to its
// container until it is released; a closed container detaches them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kwv {

class StoreContainer;

// Reads one stream: keeps its start and length.
class StreamReader {
public:
    StreamReader(StoreContainer* container, uint64_t start, uint64_t length);
    uint32_t AddRef() { return ++refs_; }
    uint32_t Release();
    void* QueryExtension(uint32_t) { return nullptr; }
    uint64_t GetLength() const { return length_; }
    int Read(uint64_t offset, void* buffer, uint32_t length, uint32_t* bytesRead);
    void Detach();

private:
    ~StreamReader() = default;
    StoreContainer* container_;
    uint32_t refs_ = 1;
    uint64_t start_;
    uint64_t length_;
};

// Writes one stream sequentially: keeps its id, start and total written, and
// the error of a failed write, after which it takes no further data.
class StreamWriter {
public:
    StreamWriter(StoreContainer* container, uint32_t id);
    uint32_t AddRef() { return ++refs_; }
    uint32_t Release();
    void* QueryExtension(uint32_t) { return nullptr; }
    int Write(uint64_t offset, const void* data, uint32_t length);
    int SetInlineData(const void* data, uint32_t length);
    // Stores start and length into the stream's entry and lets go of the container.
    void Detach();

private:
    ~StreamWriter() = default;
    StoreContainer* container_;
    uint32_t refs_ = 1;
    uint32_t id_;
    uint64_t start_ = 0;
    uint64_t written_ = 0;
    int failed_ = 0;
};

// Lists the children of one stream: keeps the parent id and a child counter.
class StreamEnumerator {
public:
    StreamEnumerator(StoreContainer* container, uint32_t parent);
    uint32_t AddRef() { return ++refs_; }
    uint32_t Release();
    void* QueryExtension(uint32_t) { return nullptr; }
    int Next(char* name, size_t size);
    void Detach();

private:
    ~StreamEnumerator() = default;
    StoreContainer* container_;
    uint32_t refs_ = 1;
    uint32_t parent_;
    uint32_t next_ = 0;
};

} // namespace kwv
