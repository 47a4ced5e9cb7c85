#include "tests/tools/kwfs/kwfs_image.h"

#include "engine/imgaccess/image_access.h"
#include "engine/imgaccess/partition_copy.h"
#include "tests/support/answering_callback.h"
#include "tests/tools/kwfs/sha256.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

// A folder deeper than this means a directory loop.
constexpr int kMaxDepth = 256;
constexpr uint32_t kChunk = 1 << 20;

// Answers every question of the library with "no", except the password
// question, which gets the password of the command line (byte by byte).
class KwfsCallback final : public kw::test::AnsweringCallback<IMGACCESS_UI_CALLBACK> {
public:
    explicit KwfsCallback(const std::string& password)
        : AnsweringCallback(0, std::u16string(password.begin(), password.end())) {}

    uint32_t Query(uint32_t, uint32_t) override { return 4; }
    uint32_t Progress(uint32_t, uint32_t, uint32_t) override { return 1; }
    uint32_t EndProgress() override { return 1; }
};

// "FILE:N" into the file and N (from 0); false when malformed.
bool SplitIndexed(const std::string& text, std::string* file, uint32_t* index) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (end == nullptr || *end != '\0' || value >= IMGACCESS_MAX_PARTITIONS)
        return false;
    *file = text.substr(0, colon);
    *index = static_cast<uint32_t>(value);
    return true;
}

} // namespace

bool IsImageSource(const std::string& source) {
    return source.rfind("image:", 0) == 0;
}

KwfsImage::~KwfsImage() {
    if (image_ != nullptr)
        image_->Release();
}

kwRet KwfsImage::Open(const std::string& source, const std::string& password) {
    std::string file;
    uint32_t index = 0;
    if (!IsImageSource(source) || !SplitIndexed(source.substr(6), &file, &index))
        return ERR_BAD_ARGUMENT;
    static std::unique_ptr<KwfsCallback> callback; // outlives the images opened with it
    callback = std::make_unique<KwfsCallback>(password);
    uint32_t code = 0;
    image_ = CreateImageAccess(file.c_str(), nullptr, callback.get(), &code);
    if (image_ == nullptr)
        return code;
    root_ = "\\Partition" + std::to_string(index);
    uint32_t attributes = 0;
    char name[32];
    if (image_->GetFileInfo(root_.c_str(), name, sizeof name, &attributes, nullptr, nullptr) == 0)
        return ERR_FILE_NOT_FOUND;
    return KW_OK;
}

kwRet KwfsImage::Walk(bool hash, std::vector<KwfsRow>& rows) {
    return WalkFolder("", 0, hash, rows);
}

kwRet KwfsImage::WalkFolder(const std::string& shown, int depth, bool hash,
                            std::vector<KwfsRow>& rows) {
    if (depth > kMaxDepth)
        return ERR_BAD_SUBDIRECTORY;
    auto* impl = static_cast<kw::imgaccess::IMAGE_ACCESS*>(image_);
    std::string folder = root_ + "\\" + shown;
    std::replace(folder.begin(), folder.end(), '/', '\\');
    std::vector<kw::imgaccess::IMG_ENTRY> entries;
    kw::imgaccess::IMG_ENTRY entry;
    for (uint32_t cookie = 0; (cookie = impl->Enumerate(cookie, folder.c_str(), &entry)) != 0;) {
        entries.push_back(entry);
        entry = kw::imgaccess::IMG_ENTRY{};
    }
    kwRet rc = impl->LastListingError();
    for (size_t i = 0; rc == KW_OK && i < entries.size(); ++i) {
        const kw::imgaccess::IMG_ENTRY& e = entries[i];
        if (std::string(e.name) == "." || std::string(e.name) == "..")
            continue;
        KwfsRow row;
        row.path = shown.empty() ? e.name : shown + "/" + e.name;
        row.dir = (e.attributes & IMGACCESS_ATTR_DIRECTORY) != 0;
        row.size = e.size;
        row.date = e.date;
        row.time = e.dosTime;
        row.attrs = e.attributes;
        row.shortName = e.shortName;
        if (row.dir) {
            rc = WalkFolder(row.path, depth + 1, hash, rows);
        } else if (hash) {
            Sha256 sha;
            rc = Read(row.path, [&](const uint8_t* p, uint32_t n) {
                sha.Update(p, n);
                return KW_OK;
            });
            row.sha = sha.HexDigest();
            row.error = rc; // the file is reported in its row; the walk goes on
            rc = KW_OK;
        }
        rows.push_back(std::move(row));
    }
    return rc;
}

kwRet KwfsImage::Read(const std::string& path,
                      const std::function<kwRet(const uint8_t*, uint32_t)>& sink) {
    std::string full = root_ + "\\" + path;
    std::replace(full.begin(), full.end(), '/', '\\');
    IMGACCESS_FILEHANDLE* file = image_->OpenFile(full.c_str());
    if (file == nullptr)
        return ERR_FILE_NOT_FOUND;
    std::vector<uint8_t> buffer(kChunk);
    kwRet rc = KW_OK;
    for (uint64_t left = file->GetSize(); left > 0 && rc == KW_OK;) {
        const uint32_t n = uint32_t(std::min<uint64_t>(left, kChunk));
        uint32_t done = 0;
        rc = file->Read(buffer.data(), n, &done) ? sink(buffer.data(), n) : file->GetLastError();
        left -= n;
    }
    file->Release();
    return rc;
}

kwRet KwfsCopy(const std::string& source, const std::string& destination,
               const std::string& password, uint32_t createFlags) {
    std::string file;
    uint32_t index = 0;
    if (!SplitIndexed(source, &file, &index) || destination.empty())
        return ERR_BAD_ARGUMENT;
    KwfsCallback callback(password);
    int32_t error = 0;
    PART_STORE* from = PartStoreOpenReadOnly(file.c_str(), &callback, &error);
    if (from == nullptr)
        return static_cast<kwRet>(error);
    std::error_code ec;
    const bool existing = std::filesystem::exists(destination, ec);
    PART_STORE* to = existing ? PartStoreOpenWriteOnly(destination.c_str(), 0, 0, &callback, &error)
                              : PartStoreCreateNew(destination.c_str(), nullptr, 0, 0, createFlags,
                                                   &callback, &error);
    kwRet rc = to != nullptr ? CopyPartition(to, from, index + 1, 0) : static_cast<kwRet>(error);
    if (to != nullptr && rc != KW_OK && !existing) {
        to->DeleteImage(); // a new image that got no partition is not left behind
    } else if (to != nullptr) {
        const int32_t committed = to->Commit();
        rc = rc != KW_OK ? rc : static_cast<kwRet>(committed);
    }
    if (to != nullptr)
        to->Release();
    from->Release();
    return rc;
}
