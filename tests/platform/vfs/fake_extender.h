// A provider for tests: serves one drive letter from a host folder and
// reports it as a removable drive whose medium can be taken out, and whose
// files can be hidden (as if on another medium) and shown again, and whose
// replacing moves, flushes of created files and folder syncs can be made to
// fail. It also records, in order, the steps that make a created file
// durable and put it in place ("time NAME", "attributes NAME", "flush
// NAME", "sync NAME", "rename NAME", "sync folder") for tests of their order.
//
//   FakeRemovableExtender fake('R', tmp.path());
//   vfs::vfsAddExtender(&fake);            // R:\... now reaches the folder
//   fake.Hide("IMG.002");                  // that volume is "not in the drive"
//   fake.SetMediumPresent(false);          // empty drive
//   vfs::vfsRemoveExtender(&fake);
#pragma once

#include "platform/drives/drive_table.h"
#include "platform/vfs/default_extender.h"

#include <cerrno>

#include <set>
#include <string>
#include <vector>

namespace kw::test {

class FakeRemovableExtender final : public vfs::FILESYSEXTENDER {
public:
    FakeRemovableExtender(char letter, const std::string& folder) : letter_(Upper(letter)) {
        drives::DriveSources src;
        src.pins = {{letter_, folder}};
        table_ = drives::DriveTable::Build(src);
        inner_.SetDriveTable(&table_);
    }
    FakeRemovableExtender(const FakeRemovableExtender&) = delete;
    FakeRemovableExtender& operator=(const FakeRemovableExtender&) = delete;

    // Names compare without regard to case; only the last component counts.
    void Hide(const std::string& name) { hidden_.insert(UpperName(name)); }
    void Show(const std::string& name) { hidden_.erase(UpperName(name)); }
    void ShowAll() { hidden_.clear(); }
    void SetMediumPresent(bool present) { present_ = present; }
    void SetWriteProtected(bool on) { writeProtected_ = on; }
    void SetDriveFlags(uint32_t flags) { flags_ = flags; }
    void SetReplaceFails(bool on) { replaceFails_ = on; }
    // Flush and Sync of the files CreateFile gives fail (errno EIO).
    void SetFlushFails(bool on) { flushFails_ = on; }
    void SetSyncFolderFails(bool on) { syncFolderFails_ = on; }
    int opens = 0;                          // OpenFile / OpenFileReadOnly / CreateFile calls seen
    std::vector<std::string> steps;         // see above; names are last components
    std::vector<std::string> syncedFolders; // the paths of the folder syncs, in order

    bool ClaimsPath(std::string& path) override {
        return path.size() >= 2 && Upper(path[0]) == letter_ && path[1] == ':';
    }
    void* Reserved1(const std::string&, const char*) override { return nullptr; }
    vfs::FILEHANDLE* OpenFile(const std::string& p) override {
        ++opens;
        return Visible(p) ? inner_.OpenFile(p) : nullptr;
    }
    vfs::FILEHANDLE* OpenFileReadOnly(const std::string& p) override {
        ++opens;
        return Visible(p) ? inner_.OpenFileReadOnly(p) : nullptr;
    }
    vfs::FILEHANDLE* CreateFile(const std::string& p) override {
        ++opens;
        vfs::FILEHANDLE* made = Visible(p) && !writeProtected_ ? inner_.CreateFile(p) : nullptr;
        return made != nullptr ? new Created(made, this, LastName(p)) : nullptr;
    }
    bool GetFileInfo(const std::string& p, vfs::VFS_ENTRY* e) override {
        return Visible(p) && inner_.GetFileInfo(p, e);
    }
    bool GetAttributes(const std::string& p, uint32_t* a) override {
        return Visible(p) && inner_.GetAttributes(p, a);
    }
    bool SetAttributes(const std::string& p, uint32_t a) override {
        steps.push_back("attributes " + LastName(p));
        return Writable(p) && inner_.SetAttributes(p, a);
    }
    bool MoveFile(const std::string& a, const std::string& b) override {
        steps.push_back("rename " + LastName(a));
        return Writable(a) && Writable(b) && inner_.MoveFile(a, b);
    }
    bool ReplaceFile(const std::string& a, const std::string& b) override {
        steps.push_back("rename " + LastName(a));
        return !replaceFails_ && Writable(a) && Writable(b) && inner_.ReplaceFile(a, b);
    }
    bool SyncFolder(const std::string& p) override {
        steps.push_back("sync folder");
        syncedFolders.push_back(p);
        if (syncFolderFails_) {
            errno = EIO;
            return false;
        }
        return Visible(p) && inner_.SyncFolder(p);
    }
    bool DeleteFile(const std::string& p) override { return Writable(p) && inner_.DeleteFile(p); }
    vfs::FILEITERATOR* FindFirst(const std::string& p, vfs::VFS_ENTRY* first) override;
    bool CreateDirectory(const std::string& p) override {
        return Writable(p) && inner_.CreateDirectory(p);
    }
    bool RemoveDirectory(const std::string& p) override {
        return Writable(p) && inner_.RemoveDirectory(p);
    }
    bool GetFullPath(const std::string& p, std::string* full) override {
        if (full)
            *full = p;
        return true;
    }
    uint32_t GetVolumeCount() override { return 1; }
    bool GetVolumeName(uint32_t index, std::string* name) override {
        if (index != 0)
            return false;
        if (name)
            *name = std::string{letter_, ':'};
        return true;
    }
    bool GetVolumeLabel(const std::string&, std::string* label) override {
        if (label)
            label->clear();
        return present_;
    }
    bool SetVolumeLabel(const std::string&, const char*) override { return false; }
    bool GetDriveFlags(const std::string&, uint32_t* flags) override {
        if (flags)
            *flags = flags_;
        return true;
    }
    bool GetNetworkName(const std::string&, std::string*) override { return false; }
    bool GetMediaState(const std::string&, uint32_t* state) override {
        if (state)
            *state = !present_         ? vfs::MEDIA_NO_MEDIUM_LIB
                     : writeProtected_ ? vfs::MEDIA_WRITE_PROTECT
                                       : vfs::MEDIA_READY;
        return true;
    }
    bool GetDiskSpace(const std::string& p, uint64_t* total, uint64_t* free) override {
        return present_ && inner_.GetDiskSpace(p, total, free);
    }
    int TouchDrive(const std::string&) override { return letter_; }

private:
    // A file CreateFile made: the inner handle, with its durable steps
    // recorded and its flushes failing on request.
    class Created final : public vfs::FILEHANDLE {
    public:
        Created(vfs::FILEHANDLE* inner, FakeRemovableExtender* owner, std::string name)
            : inner_(inner), owner_(owner), name_(std::move(name)) {}
        uint32_t AddRef() override { return ++refs_; }
        uint32_t Release() override {
            const uint32_t left = --refs_;
            if (left == 0) {
                inner_->Release();
                delete this;
            }
            return left;
        }
        void* Reserved2(const char* n) override { return inner_->Reserved2(n); }
        bool GetSize(uint64_t* s) override { return inner_->GetSize(s); }
        bool SetSize(uint64_t s) override { return inner_->SetSize(s); }
        bool GetPosition(uint64_t* p) override { return inner_->GetPosition(p); }
        bool SetPosition(uint64_t p) override { return inner_->SetPosition(p); }
        bool Read(void* b, size_t n, size_t* d) override { return inner_->Read(b, n, d); }
        bool Write(const void* b, size_t n, size_t* d) override { return inner_->Write(b, n, d); }
        uint64_t GetTime() override { return inner_->GetTime(); }
        bool SetTime(uint64_t t) override {
            owner_->steps.push_back("time " + name_);
            return inner_->SetTime(t);
        }
        bool Flush() override { return Durable("flush ") && inner_->Flush(); }
        bool Sync() override { return Durable("sync ") && inner_->Sync(); }

    private:
        ~Created() override = default;
        bool Durable(const char* step) {
            owner_->steps.push_back(step + name_);
            if (owner_->flushFails_)
                errno = EIO;
            return !owner_->flushFails_;
        }
        uint32_t refs_ = 1;
        vfs::FILEHANDLE* inner_;
        FakeRemovableExtender* owner_;
        std::string name_;
    };

    static std::string LastName(const std::string& path) {
        const size_t cut = path.find_last_of("\\/");
        return cut == std::string::npos ? path : path.substr(cut + 1);
    }

    // Lists the folder without the hidden names.
    class Filter final : public vfs::FILEITERATOR {
    public:
        Filter(vfs::FILEITERATOR* inner, const FakeRemovableExtender* owner)
            : inner_(inner), owner_(owner) {}
        uint32_t AddRef() override { return ++refs_; }
        uint32_t Release() override {
            uint32_t left = --refs_;
            if (left == 0) {
                inner_->Release();
                delete this;
            }
            return left;
        }
        bool FindNext(vfs::VFS_ENTRY* entry) override {
            vfs::VFS_ENTRY e;
            while (inner_->FindNext(&e))
                if (!owner_->hidden_.count(UpperName(e.name))) {
                    if (entry)
                        *entry = e;
                    return true;
                }
            return false;
        }

    private:
        ~Filter() override = default;
        uint32_t refs_ = 1;
        vfs::FILEITERATOR* inner_;
        const FakeRemovableExtender* owner_;
    };

    static char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
    static std::string UpperName(const std::string& path) {
        size_t cut = path.find_last_of("\\/");
        std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
        for (char& c : name)
            c = Upper(c);
        return name;
    }
    bool Visible(const std::string& p) const { return present_ && !hidden_.count(UpperName(p)); }
    bool Writable(const std::string& p) const { return Visible(p) && !writeProtected_; }

    char letter_;
    drives::DriveTable table_;
    vfs::DEFAULTFILESYSEXTENDER inner_;
    std::set<std::string> hidden_;
    bool present_ = true;
    bool writeProtected_ = false;
    bool replaceFails_ = false;
    bool flushFails_ = false;
    bool syncFolderFails_ = false;
    uint32_t flags_ = vfs::DRIVE_REMOVABLE;
};

inline vfs::FILEITERATOR* FakeRemovableExtender::FindFirst(const std::string& p,
                                                           vfs::VFS_ENTRY* first) {
    if (!present_)
        return nullptr;
    vfs::VFS_ENTRY e;
    vfs::FILEITERATOR* inner = inner_.FindFirst(p, &e);
    if (!inner)
        return nullptr;
    auto* it = new Filter(inner, this);
    if (!hidden_.count(UpperName(e.name))) {
        if (first)
            *first = e;
        return it;
    }
    if (it->FindNext(first))
        return it;
    it->Release();
    return nullptr;
}

} // namespace kw::test
