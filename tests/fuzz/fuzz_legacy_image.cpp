// Opens arbitrary bytes as an image of the older format and reads all of its
// partitions, through IMAGE_STORE and through the PART_STORE adapter.
//
// The input holds up to four files, split at the marker "KWVOLSEP": the image
// file, its continuation volumes ".002" and ".003", and its ".KWU" volume.
// They are served from memory by a path provider of this target.
#include "imagestore/legacy/image_store_reader.h"
#include "imagestore/legacy/legacy_open.h"
#include "imagestore/legacy/legacy_part_store.h"
#include "platform/vfs/default_handles.h"
#include "platform/vfs/vfs.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace kw::vfs;

class MemoryFile final : public REFCOUNTED<FILEHANDLE> {
public:
    explicit MemoryFile(const std::string& bytes) : bytes_(bytes) {}
    void* Reserved2(const char*) override { return nullptr; }
    bool GetSize(uint64_t* size) override {
        *size = bytes_.size();
        return true;
    }
    bool SetSize(uint64_t) override { return false; }
    bool GetPosition(uint64_t* p) override {
        *p = pos_;
        return true;
    }
    bool SetPosition(uint64_t p) override {
        pos_ = p;
        return true;
    }
    bool Read(void* buffer, size_t count, size_t* done) override {
        size_t n = pos_ >= bytes_.size() ? 0 : std::min<size_t>(count, bytes_.size() - pos_);
        std::memcpy(buffer, bytes_.data() + pos_, n);
        pos_ += n;
        if (done)
            *done = n;
        return true;
    }
    bool Write(const void*, size_t, size_t* done) override {
        if (done)
            *done = 0;
        return false;
    }
    uint64_t GetTime() override { return 0; }
    bool SetTime(uint64_t) override { return false; }

private:
    ~MemoryFile() override = default;
    const std::string& bytes_;
    uint64_t pos_ = 0;
};

// Serves the files of one input under names that contain "fuzzimage".
class MemoryProvider final : public FILESYSEXTENDER {
public:
    std::map<std::string, std::string> files; // by extension: "IMG", "002", "003", "KWU"

    bool ClaimsPath(std::string& path) override {
        return path.find("fuzzimage") != std::string::npos;
    }
    void* Reserved1(const std::string&, const char*) override { return nullptr; }
    FILEHANDLE* OpenFile(const std::string& path) override { return OpenFileReadOnly(path); }
    FILEHANDLE* OpenFileReadOnly(const std::string& path) override {
        auto it = files.find(path.substr(path.size() - 3));
        return it == files.end() ? nullptr : new MemoryFile(it->second);
    }
    FILEHANDLE* CreateFile(const std::string&) override { return nullptr; }
    bool GetFileInfo(const std::string&, VFS_ENTRY*) override { return false; }
    bool GetAttributes(const std::string&, uint32_t*) override { return false; }
    bool SetAttributes(const std::string&, uint32_t) override { return false; }
    bool MoveFile(const std::string&, const std::string&) override { return false; }
    bool DeleteFile(const std::string&) override { return false; }
    FILEITERATOR* FindFirst(const std::string&, VFS_ENTRY*) override { return nullptr; }
    bool CreateDirectory(const std::string&) override { return false; }
    bool RemoveDirectory(const std::string&) override { return false; }
    bool GetFullPath(const std::string&, std::string*) override { return false; }
    uint32_t GetVolumeCount() override { return 0; }
    bool GetVolumeName(uint32_t, std::string*) override { return false; }
    bool GetVolumeLabel(const std::string&, std::string*) override { return false; }
    bool SetVolumeLabel(const std::string&, const char*) override { return false; }
    bool GetDriveFlags(const std::string&, uint32_t* flags) override {
        *flags = 0;
        return true;
    }
    bool GetNetworkName(const std::string&, std::string*) override { return false; }
    bool GetMediaState(const std::string&, uint32_t*) override { return false; }
    bool GetDiskSpace(const std::string&, uint64_t*, uint64_t*) override { return false; }
    int TouchDrive(const std::string&) override { return 0; }
};

MemoryProvider& provider() {
    static MemoryProvider* p = [] {
        auto* m = new MemoryProvider;
        vfsAddExtender(m);
        return m;
    }();
    return *p;
}

void readPartition(IMAGE_STORE* s, uint32_t n, std::vector<uint8_t>& buf) {
    if (s->SelectPartition(n) != 0)
        return;
    uint32_t spb = 0, count = 0, code = 0;
    s->ReadBitmap(buf.data(), 65536, &spb, &count);
    s->ReadRawBitmap(buf.data(), 65536, &count, &code);
    s->BuildVolumeTable();
    std::vector<uint8_t> state(s->GetDecoderStateSize());
    size_t total = 0;
    for (int i = 0; i < 64 && total < (4u << 20); ++i) {
        uint32_t got = 0;
        if (i == 2)
            s->SaveDecoderState(state.data());
        if (s->ReadData(buf.data(), uint32_t(buf.size()), &got) != 0 || got == 0)
            break;
        total += got;
    }
    s->SeekData(s->GetDataPosition());
    s->RestoreDecoderState(state.data());
    uint32_t got = 0;
    s->ReadData(buf.data(), 4096, &got);
    s->SeekData(1000);
    s->ReadRawData(buf.data(), 4096, &got, &code);
    s->ClosePartition();
}

void readThroughAdapter(PART_STORE* ps, std::vector<uint8_t>& buf) {
    for (uint32_t i = 0; i < ps->GetPartCount() && i < 16; ++i) {
        if (ps->SelectPart(i) != 0)
            continue;
        uint64_t length = 0;
        uint32_t got = 0;
        if (ps->OpenUbmap(&length) == 0 && length <= buf.size())
            ps->Read(buf.data(), uint32_t(length), &got);
        if (ps->OpenUdata(&length) != 0)
            continue;
        for (int k = 0; k < 16; ++k)
            if (ps->Read(buf.data(), 65536, &got) != 0 || got == 0)
                break;
    }
    ps->GetImageFlags();
    ps->GetImageSize();
    char text[600];
    ps->GetDescription(text, sizeof text);
    if (ps->GetPartCount() <= 4)
        kw::legacy::verifyLegacyData(ps, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const names[] = {"IMG", "002", "003", "KWU"};
    MemoryProvider& mem = provider();
    mem.files.clear();
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t at = 0;
    for (const char* name : names) {
        size_t sep = all.find("KWVOLSEP", at);
        mem.files[name] = all.substr(at, sep == std::string::npos ? std::string::npos : sep - at);
        if (sep == std::string::npos)
            break;
        at = sep + 8;
    }
    std::vector<uint8_t> buf(1 << 17);
    int32_t error = 0;
    IMAGE_STORE* s = kw::legacy::openImageStore("/fuzzimage.IMG", nullptr, error);
    if (s != nullptr) {
        for (uint32_t n = 1; n <= s->GetPartitionCount() && n <= 16; ++n)
            readPartition(s, n, buf);
        PART_STORE* ps = kw::legacy::wrapImageStore(s, nullptr, error);
        if (ps != nullptr) {
            readThroughAdapter(ps, buf);
            ps->Release();
        }
        s->Release();
    }
    return 0;
}
