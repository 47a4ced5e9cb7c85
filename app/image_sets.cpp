#include "app/image_sets.h"

#include "app/dialogs/progress_dlg.h"
#include "app/explorer/explorer_utils.h"
#include "engine/core/progress.h"
#include "engine/imgaccess/partition_copy.h"
#include "kwvaults.h"
#include "kwvaults_image_store.h"
#include "platform/vfs/vfs.h"

namespace kw::app {
namespace {

// Whether the library reads the file as an image of the older format: only
// then do its neighbours ".KWU" and ".002" on belong to it. 7 when the user
// cancelled a prompt, 0 when it is one, else why not.
int32_t ConfirmOlderImage(const std::string& hostPath, MEDIA_CHANGE_CALLBACK* callback) {
    int32_t error = 0;
    IMAGE_STORE* older = ImageStoreOpenReadOnly(hostPath.c_str(), callback, &error);
    if (older == nullptr)
        return error != 0 ? error : int32_t(ERR_IMG_INVALID);
    older->Release();
    return 0;
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

void DeleteAndRelease(PART_STORE*& store) {
    if (store == nullptr)
        return;
    store->DeleteImage();
    store->Release();
    store = nullptr;
}

kwRet CopyPartitionTo(PART_STORE* destination, PART_STORE* source, uint32_t index) {
    if (PROGRESS_INFO* sink = PROGRESS_INFO::Current()) {
        sink->SetCallback(ProgressCallback);
        sink->SetLevels(1);
    }
    // The engine numbers the partitions of an image from 1.
    const kwRet rc = CopyPartition(destination, source, index + 1, 0);
    if (PROGRESS_INFO* sink = PROGRESS_INFO::Current())
        sink->SetCallback(nullptr);
    return rc;
}

int32_t DeleteImageSet(vfs::VFS_NAMESPACE& vfs, const QString& path,
                       MEDIA_CHANGE_CALLBACK* callback) {
    const std::string host = ToHostPath(vfs, path);
    int32_t error = 0;
    PART_STORE* store = OpenImageForAppend(host, callback, &error);
    if (store != nullptr) {
        DeleteAndRelease(store);
    } else if (error == int32_t(ERR_USER_CANCEL)) {
        return error;
    } else {
        error = ConfirmOlderImage(host, callback);
        if (error == int32_t(ERR_USER_CANCEL))
            return error;
        if (error == 0)
            DeleteImageFiles(vfs, path);
        else
            vfs.DeleteFile(path.toStdString());
    }
    return vfs.FileExists(path.toStdString()) ? int32_t(ERR_IMG_WRITE) : 0;
}

} // namespace kw::app
