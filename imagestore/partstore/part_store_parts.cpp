// The parts of an image: listing, selecting, adding, closing and removing
// them, and the current part's record values and texts.
#include "imagestore/container/store_container.h"
#include "imagestore/container/stream_objects.h"
#include "imagestore/partstore/part_store.h"
#include "imagestore/partstore/shield.h"
#include "imagestore/partstore/store_text.h"
#include "imagestore/partstore/store_time.h"
#include "imagestore/store_error.h"
#include "imagestore/store_log.h"

#include <algorithm>
#include <array>

namespace kw::partstore {

namespace {

constexpr const char* kPartPrefix = "kwi/part";
// AddPart tries the part count as the number of the new part's name, then up
// to this many following numbers.
constexpr uint32_t kNameTries = 50;
// The stream table holds at most 30,000 bytes, so far fewer entries than this.
constexpr uint32_t kMaxChildren = 100000;
// Parts hold partitions of 512-byte sectors.
constexpr uint64_t kSectorBytes = 512;

} // namespace

int32_t PartStore::ReadEntry(const char* path, std::span<uint8_t> buffer, uint32_t& tag,
                             size_t& held) {
    uint32_t inlineLength = 0;
    const int32_t error =
        container_->ReadSmallStream(path, &tag, nullptr, nullptr, nullptr, buffer.data(),
                                    uint32_t(buffer.size()), &inlineLength);
    held = std::min<size_t>(inlineLength, buffer.size());
    return error;
}

int32_t PartStore::ReadRecord(const std::string& path, PartRecord& record) {
    std::array<uint8_t, PartRecord::kMaxSize> bytes{};
    uint32_t tag = 0;
    size_t held = 0;
    const int32_t error = ReadEntry(path.c_str(), bytes, tag, held);
    if (error != kwv::kStoreOk) {
        return error;
    }
    return PartRecord::Parse(std::span(bytes).first(held), tag, record);
}

// A child named "part" and digits or tagged "PART" is meant to be a part;
// only a "PART" entry without any inline data is a part that was taken out
// again before its record was written (as earlier versions left them).
bool PartStore::LooksLikePart(const std::string& name, uint32_t tag, size_t inlineLength) const {
    if (tag == PartRecord::kMagic) {
        return inlineLength != 0;
    }
    const std::string prefix = std::string(kPartPrefix).substr(4); // "part"
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    return std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

// The parts are the children of "kwi" meant to be parts, in the order of the
// stream table. One whose record fails its check, or disagrees with itself or
// with its streams, is listed as damaged: selecting it answers 1802, and the
// others open as before.
int32_t PartStore::ListParts() {
    parts_.clear();
    std::array<char, 300> name{};
    int error = 0;
    const Held<kwv::StreamEnumerator> children(
        container_->EnumerateStreams("kwi", name.data(), name.size(), &error));
    for (uint32_t i = 0; children != nullptr && error == kwv::kStoreOk && i < kMaxChildren; ++i) {
        const std::string path = std::string("kwi/") + name.data();
        PartRecord record;
        int32_t damage = ReadRecord(path, record);
        if (damage == kwv::kStoreOk) {
            damage = CheckPartRecord(path, record);
        } else {
            uint32_t tag = 0;
            uint32_t inlineLength = 0;
            container_->ReadSmallStream(path.c_str(), &tag, nullptr, nullptr, nullptr, nullptr, 0,
                                        &inlineLength);
            if (LooksLikePart(name.data(), tag, inlineLength)) {
                kwv::StoreLog("%s: part %s fails its record check", path_.c_str(), path.c_str());
                damage = kwv::kStoreInvalid;
            } else {
                damage = -1; // not a part
            }
        }
        if (damage >= 0) {
            parts_.push_back(Part{path, false, 0, damage});
        }
        error = children->Next(name.data(), name.size());
    }
    return error == kwv::kStoreOk || error == kwv::kStoreNoMoreNames ? kwv::kStoreOk : error;
}

// A part record must describe its own size and its streams: 512-byte
// sectors, as many blocks as its sectors fill, no more used blocks than
// blocks, a bitmap of one bit per block and a data stream of the used blocks.
// A record that lies with a sound CRC would else read back with a wrong size.
int32_t PartStore::CheckPartRecord(const std::string& path, const PartRecord& r) {
    const uint64_t total = r.Get(PartField::TotalSectors);
    const uint64_t perBlock = r.Get(PartField::SectorsPerBlock);
    const uint64_t blocks = r.Get(PartField::BlockCount);
    const uint64_t used = r.Get(PartField::UsedBlockCount);
    const uint64_t sectorBytes = r.Get(PartField::BytesPerSector);
    const auto length = [&](const char* child, uint64_t* bytes) {
        return container_->ReadSmallStream((path + "/" + child).c_str(), nullptr, nullptr, nullptr,
                                           bytes, nullptr, 0, nullptr) == kwv::kStoreOk;
    };
    uint64_t bitmap = 0, data = 0;
    const char* what = nullptr;
    if (sectorBytes != kSectorBytes) {
        what = "gives a sector size other than 512 bytes";
    } else if (perBlock == 0 || blocks != (total + perBlock - 1) / perBlock) {
        what = "gives a block count that does not fit its sectors";
    } else if (used > blocks) {
        what = "counts more used blocks than blocks";
    } else if (!length("ubmap", &bitmap) || bitmap != (blocks + 7) / 8) {
        what = "has no block bitmap of one bit per block";
    } else if (!length("udata", &data) || data != used * perBlock * sectorBytes) {
        what = "has no data stream of its used blocks";
    }
    if (what == nullptr) {
        return kwv::kStoreOk;
    }
    kwv::StoreLog("%s: part %s %s and is listed as damaged", path_.c_str(), path.c_str(), what);
    return kwv::kStoreInvalid;
}

int32_t PartStore::SelectPart(uint32_t index) {
    return Shield([&]() -> int32_t {
        ClosePart();
        if (mode_ != Mode::Read) {
            return kwv::kStoreWrongMode;
        }
        if (index >= parts_.size()) {
            // When the set opened at an earlier directory, later parts may
            // exist on a volume it could not see.
            return container_->FellBack() ? kwv::kStoreNotFound : kwv::kStoreNoSuchStream;
        }
        if (parts_[index].damage != kwv::kStoreOk) {
            return parts_[index].damage;
        }
        const int32_t error = ReadRecord(parts_[index].path, record_);
        if (error != kwv::kStoreOk) {
            return error == kwv::kStoreNoSuchStream ? kwv::kStoreInvalid : error;
        }
        current_ = int32_t(index);
        return kwv::kStoreOk;
    });
}

int32_t PartStore::FindFreePartName(std::string& path) {
    const uint32_t first = uint32_t(parts_.size());
    for (uint32_t number = first; number <= first + kNameTries; ++number) {
        path = kPartPrefix + std::to_string(number);
        uint32_t tag = 0;
        size_t held = 0;
        const int32_t error = ReadEntry(path.c_str(), {}, tag, held);
        if (error == kwv::kStoreNoSuchStream) {
            return kwv::kStoreOk;
        }
        if (error != kwv::kStoreOk) {
            return error;
        }
    }
    return kwv::kStoreTableFull;
}

int32_t PartStore::AddPart(uint32_t* index) {
    ClosePart();
    if (mode_ != Mode::Write) {
        return kwv::kStoreWrongMode;
    }
    CloseStream(); // an open MBR stream too: the container writes one stream at a time
    return Shield([&]() -> int32_t {
        std::string path;
        int32_t error = FindFreePartName(path);
        if (error != kwv::kStoreOk) {
            return error;
        }
        kwv::StreamWriter* stream =
            container_->CreateStream(path.c_str(), PartRecord::kMagic, 0, &error);
        if (stream == nullptr) {
            return error;
        }
        stream->Release(); // the record goes in as inline data when the part is closed
        record_ = PartRecord::Fresh(StoreTimeNow());
        parts_.push_back(Part{path, true, 0, 0});
        current_ = int32_t(parts_.size() - 1);
        headerChanged_ = true; // the modification time reaches the file at commit
        if (index != nullptr) {
            *index = uint32_t(current_);
        }
        return kwv::kStoreOk;
    });
}

void PartStore::DropCurrentPart() {
    if (streamKind_ == StreamKind::Part) {
        CloseStream();
    }
    current_ = -1;
}

int32_t PartStore::ClosePart() {
    if (!HasCurrentPart()) {
        return kwv::kStoreOk;
    }
    if (const int32_t failed = parts_[size_t(current_)].failedWrite; failed != kwv::kStoreOk) {
        DropCurrentPart(); // its data is incomplete: no record is written for it
        return failed;
    }
    const int32_t error = Shield([&]() -> int32_t {
        const Part& part = parts_[size_t(current_)];
        DropCurrentPart();
        if (mode_ != Mode::Write) {
            return kwv::kStoreOk;
        }
        // The part's data is all stored (and any failure of it known) before
        // its record is written.
        if (const int settled = container_->SettleWrites(); settled != kwv::kStoreOk) {
            return settled;
        }
        record_.Set(PartField::VolumeHint, uint32_t(container_->GetCurrentChunk()));
        const auto bytes = record_.Bytes();
        return container_->WriteSmallStream(part.path.c_str(), bytes.data(),
                                            uint32_t(bytes.size()));
    });
    current_ = -1;
    if (error != kwv::kStoreOk && closeError_ == kwv::kStoreOk) {
        closeError_ = error;
    }
    return error;
}

int32_t PartStore::RemovePart(uint32_t index) {
    if (mode_ != Mode::Write || index >= parts_.size() || !parts_[index].addedNow) {
        return kwv::kStoreWrongMode; // parts already in the image are never removed
    }
    return Shield([&]() -> int32_t {
        if (current_ == int32_t(index)) {
            DropCurrentPart(); // its record is never written
        } else if (HasCurrentPart()) {
            ClosePart();
        }
        CloseStream(); // an open MBR stream too: the table changes under no writer
        return DiscardPart(index);
    });
}

// A part added in this open and not yet committed leaves the image again: its
// entry and its streams' entries leave the stream table (their bytes stay in
// the stream space, referenced by nothing), so the image reads as it did
// before the part was added and its name is free again.
int32_t PartStore::DiscardPart(size_t index) {
    const int32_t error = container_->RemoveStream(parts_[index].path.c_str());
    if (error != kwv::kStoreOk) {
        return error;
    }
    parts_.erase(parts_.begin() + std::ptrdiff_t(index));
    if (current_ > int32_t(index)) {
        --current_;
    }
    return kwv::kStoreOk;
}

uint32_t PartStore::Value(uint32_t offset) const {
    return HasCurrentPart() ? record_.Get(offset) : 0;
}

int32_t PartStore::SetValue(uint32_t offset, uint32_t value) {
    if (mode_ != Mode::Write || !HasCurrentPart()) {
        return kwv::kStoreWrongMode;
    }
    record_.Set(offset, value);
    return kwv::kStoreOk;
}

int32_t PartStore::SetText(bool name, const char* text) {
    if (mode_ != Mode::Write || !HasCurrentPart()) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&]() -> int32_t {
        const std::u16string wide = WidenText(text);
        name ? record_.SetName(wide) : record_.SetDescription(wide);
        return kwv::kStoreOk;
    });
}

int32_t PartStore::SetPartName(const char* text) {
    return SetText(true, text);
}

int32_t PartStore::SetPartDescription(const char* text) {
    return SetText(false, text);
}

int32_t PartStore::GetPartTime(int32_t* year, int32_t* month, int32_t* day, int32_t* hour,
                               int32_t* minute, int32_t* second) {
    if (!HasCurrentPart()) {
        return kwv::kStoreWrongMode;
    }
    SplitCalendar(CalendarFromStoreTime(record_.Get(PartField::Time)), year, month, day, hour,
                  minute, second);
    return kwv::kStoreOk;
}

int32_t PartStore::GetPartName(char* buffer, uint32_t size) {
    return Shield([&]() -> int32_t {
        CopyNarrow(HasCurrentPart() ? record_.Name() : u"", buffer, size);
        return kwv::kStoreOk;
    });
}

int32_t PartStore::GetPartDescription(char* buffer, uint32_t size) {
    return Shield([&]() -> int32_t {
        CopyNarrow(HasCurrentPart() ? record_.Description() : u"", buffer, size);
        return kwv::kStoreOk;
    });
}

int32_t PartStore::HintPartVolume() {
    if (!HasCurrentPart() || container_ == nullptr) {
        return kwv::kStoreWrongMode;
    }
    return Shield([&] {
        container_->SetReadAhead(record_.Get(PartField::VolumeHint));
        return kwv::kStoreOk;
    });
}

} // namespace kw::partstore
