// Helpers of the container tests: a temporary folder per test, a recording
// callback object, and stream writing and reading shortcuts.
#pragma once

#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/container/worker_pool.h"
#include "imagestore/store_error.h"
#include "include/kwbytes.h"
#include "kwvaults_callbacks.h"
#include "tests/platform/temp_dir.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>
#include <zlib.h>

namespace kwv::test {

// Runs with a thread setting and puts the default back at the end.
struct Threads {
    explicit Threads(uint32_t n) { kwv::SetStoreThreads(n); }
    ~Threads() { kwv::SetStoreThreads(0); }
};

// A fresh folder, removed with everything in it at the end of the test.
class TempFolder : public kw::test::TempDir {
public:
    std::string File(const std::string& name) const { return *this / name; }
    const std::string& Path() const { return path(); }
};

// Records the calls it gets; answers questions from its settings.
class RecordingCallback : public MEDIA_CHANGE_CALLBACK {
public:
    std::vector<std::string> calls;
    std::u16string password; // offered on AskPassword (empty: decline)
    int progressSteps = 0;
    int cancelProgressAfter = -1; // answer false to the n-th ProgressStep
    int mediaAnswers = 0;         // how many media questions get a yes

    uint32_t Media(const char* what, const char* path) {
        calls.push_back(std::string(what) + ":" + path);
        return mediaAnswers-- > 0 ? 1 : 0;
    }
    uint32_t AskNewMediaForCreate(const char* p) override {
        return Media("AskNewMediaForCreate", p);
    }
    uint32_t AskFirstMediaForUpdate(const char* p) override {
        return Media("AskFirstMediaForUpdate", p);
    }
    uint32_t AskFirstMedia(const char* p) override { return Media("AskFirstMedia", p); }
    uint32_t AskLastMedia(const char* p) override { return Media("AskLastMedia", p); }
    uint32_t AskNextMedia(const char* p) override { return Media("AskNextMedia", p); }
    uint32_t AskMediaWithFile(const char* p) override { return Media("AskMediaWithFile", p); }
    uint32_t AskNewMediaNumber(const char* p, uint32_t) override {
        return Media("AskNewMediaNumber", p);
    }
    uint32_t AskMediaNumber(const char* p, uint32_t) override { return Media("AskMediaNumber", p); }
    void MediaOpened(const char*, uint32_t, uint32_t) override { calls.push_back("MediaOpened"); }
    void MediaStillFull(const char*) override { calls.push_back("MediaStillFull"); }
    void MediaCreateFailed(const char*) override { calls.push_back("MediaCreateFailed"); }
    void WrongMedia(const char*) override { calls.push_back("WrongMedia"); }
    void MediaNotice(uint32_t) override { calls.push_back("MediaNotice"); }
    void MediaFull(const char*) override { calls.push_back("MediaFull"); }
    uint32_t ConfirmEraseMedia(const char*) override { return 0; }
    uint32_t ConfirmDeleteImageSet(const char* p) override {
        return Media("ConfirmDeleteImageSet", p);
    }
    void DeleteImageBegin() override { calls.push_back("DeleteImageBegin"); }
    void DeleteImageEnd() override { calls.push_back("DeleteImageEnd"); }
    void MediaPrepareBegin() override {}
    void MediaPrepareEnd() override {}
    void MediaWriteBegin() override {}
    uint32_t MediaWriteProgress(uint32_t, uint32_t) override { return 1; }
    void MediaWriteEnd() override {}
    void ProgressBegin() override { calls.push_back("ProgressBegin"); }
    uint32_t ProgressStep(uint32_t, uint32_t) override {
        return ++progressSteps == cancelProgressAfter ? 0 : 1;
    }
    void ProgressEnd() override { calls.push_back("ProgressEnd"); }
    uint32_t AskPassword(PASSWORD_SINK* sink) override {
        calls.push_back("AskPassword");
        if (password.empty()) {
            return 0;
        }
        return sink->TryPassword(password.c_str());
    }
    void MediaEraseBegin() override {}
    uint32_t MediaEraseProgress(uint32_t, uint32_t) override { return 0; }
    void MediaEraseEnd() override {}
    void MediaEjectBegin() override {}
    void MediaEjectEnd() override {}
};

// A kind of set for the tables of the tests: how it is created.
struct SetCase {
    const char* name;
    uint32_t options;
    const char16_t* password;
    uint32_t volumeLimit; // 0: one volume
};

// Bytes that mix runs, text-like and noisy regions.
inline std::vector<uint8_t> MixedBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        const size_t region = (i / 4096) % 3;
        out[i] = region == 0   ? uint8_t(i / 4096)
                 : region == 1 ? uint8_t('a' + (i % 26))
                               : uint8_t(x >> 16);
    }
    return out;
}

inline int WriteStream(StoreContainer* c, const std::string& path, const std::vector<uint8_t>& data,
                       uint32_t tag1 = 0, size_t piece = 65536) {
    int err = -1;
    StreamWriter* w = c->CreateStream(path.c_str(), tag1, 0, &err);
    if (w == nullptr) {
        return err;
    }
    for (size_t done = 0; done < data.size();) {
        const size_t n = std::min(piece, data.size() - done);
        err = w->Write(done, data.data() + done, uint32_t(n));
        if (err != 0) {
            w->Release();
            return err;
        }
        done += n;
    }
    w->Release();
    return 0;
}

inline int ReadStream(StoreContainer* c, const std::string& path, std::vector<uint8_t>* out) {
    int err = -1;
    StreamReader* r = c->OpenStream(path.c_str(), &err);
    if (r == nullptr) {
        return err;
    }
    out->assign(r->GetLength(), 0);
    uint32_t got = 0;
    for (uint64_t done = 0; done < out->size() && err == 0; done += got) {
        const uint32_t n = uint32_t(std::min<uint64_t>(100000, out->size() - done));
        err = r->Read(done, out->data() + done, n, &got);
        if (err == 0 && got != n) {
            err = -2;
        }
    }
    r->Release();
    return err;
}

// Reads stream `name` of the set at `path`; the error, or -3 when it reads
// back other bytes than `want`.
inline int ReadBack(const std::string& path, const char* name, const std::vector<uint8_t>& want,
                    MEDIA_CHANGE_CALLBACK* cb = nullptr) {
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), cb, &err);
    if (c == nullptr) {
        return err;
    }
    std::vector<uint8_t> back;
    err = ReadStream(c, name, &back);
    if (err == 0 && back != want) {
        err = -3;
    }
    c->Release();
    return err;
}

// Opens the set at `path` and checks every chunk.
inline int Verify(const std::string& path) {
    int err = -1;
    StoreContainer* c = OpenContainerForRead(path.c_str(), nullptr, &err);
    if (c == nullptr) {
        return err;
    }
    err = c->VerifyAll();
    c->Release();
    return err;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void PutFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Every file of a folder with its bytes, by name.
inline std::map<std::string, std::vector<uint8_t>> FolderBytes(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        files[e.path().filename().string()] = FileBytes(e.path().string());
    }
    return files;
}

// Puts a folder back as FolderBytes saw it.
inline void RestoreFolder(const std::string& folder,
                          const std::map<std::string, std::vector<uint8_t>>& files) {
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        std::filesystem::remove(e.path());
    }
    for (const auto& [name, bytes] : files) {
        PutFileBytes((std::filesystem::path(folder) / name).string(), bytes);
    }
}

// Stamps every chunk of a volume with another creation time.
inline void Restamp(const std::string& file, uint32_t delta) {
    std::vector<uint8_t> bytes = FileBytes(file);
    for (size_t at = 0; at + 0x20000u <= bytes.size(); at += 0x20000u) {
        uint8_t* r = &bytes[at];
        kwbytes::StoreLe32(r + 16, kwbytes::LoadLe32(r + 16) - delta);
        kwbytes::StoreLe32(r + 88, uint32_t(crc32(0L, r, 88)));
    }
    PutFileBytes(file, bytes);
}

} // namespace kwv::test
