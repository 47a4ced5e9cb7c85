// The explorer item of one partition stored in an image: its properties as
// a row of the image's listing and, for FAT and NTFS, its root folder's
// folders and files.
#pragma once

#include "app/explorer/vtfe_prt_folder.h"

namespace kw::app {

class VtfePrt final : public VtfeImageDir {
public:
    // index: the partition's part index, as the image access reports it.
    VtfePrt(ExplorerHost* host, QTreeWidget* tree, QTreeWidget* list, QString displayName,
            std::unique_ptr<ACCESS_INFO> info, uint32_t index);

    void BuildPath(QTreeWidgetItem* parent) override { path_ = JoinedPath(parent); }
    void AddListRow() override;
    bool Expand(bool force) override;
    bool HasChildren() override { return true; }
    void SetIcons() override;
    void ShowContents(bool focus) override;

    // Partitions of the kinds whose folders and files the engine reads.
    bool CanBrowse() const;

    uint32_t PartitionIndex() const { return index_; }
    uint32_t PartitionType() const { return partitionType_; }
    uint32_t FileSystemKind() const { return fsKind_; }
    const QString& DriveLetter() const { return driveLetter_; }
    const QString& FileSystem() const { return fileSystem_; }
    const QString& PriLog() const { return priLog_; }
    const QString& SizeText() const { return size_; }
    const QString& DateText() const { return date_; }
    uint64_t SizeBytes() const { return sizeBytes_; }
    uint64_t UsedBytes() const { return usedBytes_; }
    // Size less used space; 0 when a damaged record says more is used.
    uint64_t UnusedBytes() const { return sizeBytes_ > usedBytes_ ? sizeBytes_ - usedBytes_ : 0; }
    const QString& GetPassword() const { return password_; }
    void SetPassword(const QString& text) { password_ = text; }

private:
    void LoadInfo();

    QString partName_;
    QString driveLetter_;
    QString fileSystem_;
    QString priLog_;
    QString size_;
    QString password_;
    QString date_;
    bool browsable_ = true;
    int32_t damage_ = 0; // the image's answer when the part cannot be selected
    uint32_t partitionType_ = 0;
    uint32_t fsKind_ = 0;
    uint32_t index_;
    uint64_t sizeBytes_ = 0;
    uint64_t usedBytes_ = 0;
};

} // namespace kw::app
