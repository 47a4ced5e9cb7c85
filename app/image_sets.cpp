#include "app/image_sets.h"

#include "app/dialogs/progress_dlg.h"
#include "app/engine_facade.h"
#include "app/explorer/explorer_utils.h"
#include "engine/core/progress.h"
#include "engine/imgaccess/partition_copy.h"
#include "kwvaults.h"
#include "platform/vfs/vfs.h"

namespace kw::app {
namespace {

// Whether the library reads the file as an image of the older format: only
// then do its neighbours ".KWU" and ".002" on belong to it whatever they
// hold. 7 in *error when the user cancelled a prompt.
bool ReadsAsOlderImage(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback,
                       int32_t* error) {
    *error = 0;
    PART_STORE* store = PartStoreOpenReadOnly(hostPath.c_str(), callback, error);
    if (store == nullptr)
        return false;
    const bool older = store->IsNativeImage() == 0;
    store->Release();
    return older;
}

// A set the library would not open for writing (openError): a set of the
// older format goes with its segments; for any other the library deletes
// every volume it can tell belongs to the set, and nothing of a set that
// another writer holds open (1810).
int32_t DeleteUnopenedSet(vfs::VFS_NAMESPACE& vfs, const QString& path, const std::string& host,
                          MEDIA_CHANGE_CALLBACK* callback, int32_t openError) {
    if (openError != int32_t(ERR_IMG_OPEN)) {
        int32_t error = 0;
        const bool older = ReadsAsOlderImage(host, callback, &error);
        if (error == int32_t(ERR_USER_CANCEL))
            return error;
        if (older)
            return DeleteImageFiles(vfs, path) ? 0 : int32_t(ERR_IMG_WRITE);
    }
    return PartStoreDelete(host.c_str(), callback);
}

} // namespace

PART_STORE* OpenImageForAppend(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback,
                               int32_t* error) {
    *error = 0;
    PART_STORE* store = PartStoreOpenWriteOnly(hostPath.c_str(), 0, 0, callback, error);
    if (store == nullptr && *error == 0)
        *error = int32_t(ERR_IMG_INVALID);
    return store;
}

PART_STORE* CreateImage(const std::string& hostPath, const std::u16string& password,
                        uint32_t splitSize, uint32_t flags, MEDIA_CHANGE_CALLBACK* callback,
                        int32_t* error) {
    *error = 0;
    PART_STORE* store = PartStoreCreateNew(hostPath.c_str(), password.c_str(), splitSize, 0, flags,
                                           callback, error);
    if (store == nullptr && *error == 0)
        *error = int32_t(ERR_IMG_WRITE);
    return store;
}

int32_t CommitAndRelease(PART_STORE*& store) {
    if (store == nullptr)
        return 0;
    const int32_t rc = store->Commit();
    store->Release();
    store = nullptr;
    return rc;
}

int32_t DeleteAndRelease(PART_STORE*& store) {
    if (store == nullptr)
        return 0;
    const int32_t rc = store->DeleteImage();
    store->Release();
    store = nullptr;
    return rc;
}

namespace {

// Runs a copy with the progress window's callback installed.
template <class Copy> kwRet WithProgressCallback(Copy copy) {
    if (PROGRESS_INFO* sink = PROGRESS_INFO::Current()) {
        sink->SetCallback(ProgressCallback);
        sink->SetLevels(1);
    }
    const kwRet rc = copy();
    if (PROGRESS_INFO* sink = PROGRESS_INFO::Current())
        sink->SetCallback(nullptr);
    return rc;
}

} // namespace

kwRet CopyPartitionTo(PART_STORE* destination, PART_STORE* source, uint32_t index) {
    // The engine numbers the partitions of an image from 1.
    return WithProgressCallback([&] { return CopyPartition(destination, source, index + 1, 0); });
}

kwRet CopyHiddenPartitionTo(PART_STORE* destination, const std::string& path) {
    PARTITION_INFO* pi = HiddenPartition(path);
    if (pi == nullptr)
        return ERR_FILE_NOT_FOUND;
    return WithProgressCallback([&] { return CopyLivePartition(destination, pi); });
}

int32_t DeleteImageSet(vfs::VFS_NAMESPACE& vfs, const QString& path,
                       MEDIA_CHANGE_CALLBACK* callback) {
    const std::string host = ToHostPath(vfs, path);
    int32_t error = 0;
    PART_STORE* store = OpenImageForAppend(host, callback, &error);
    if (store != nullptr)
        error = DeleteAndRelease(store);
    else if (error != int32_t(ERR_USER_CANCEL))
        error = DeleteUnopenedSet(vfs, path, host, callback, error);
    if (error == 0 && vfs.FileExists(path.toStdString()))
        error = int32_t(ERR_IMG_WRITE);
    return error;
}

} // namespace kw::app
