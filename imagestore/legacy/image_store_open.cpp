// Opening an older-format image, its volumes and the records of its partitions.
#include "imagestore/legacy/image_store_reader.h"

#include "include/kwvaults_callbacks.h"

#include <new>

namespace kw::legacy {

IMAGE_STORE_READER::IMAGE_STORE_READER(std::string path, MEDIA_CHANGE_CALLBACK* callback)
    : callback_(callback), names_(std::move(path)) {}

IMAGE_STORE_READER::~IMAGE_STORE_READER() {
    Close();
}

uint32_t IMAGE_STORE_READER::AddRef() {
    return ++refs_;
}

uint32_t IMAGE_STORE_READER::Release() {
    uint32_t left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

int32_t IMAGE_STORE_READER::Close() {
    ClosePartition();
    file_.close();
    tables_.clear();
    spans_.clear();
    return kwv::kStoreOk;
}

int IMAGE_STORE_READER::Open() {
    removable_ = isRemovablePath(names_.path);
    uint32_t opened = 1;
    if (int r = openFirstFile(&opened))
        return r;
    std::vector<uint8_t> bytes;
    if (int r = readHeaderOf(opened, &bytes))
        return r;
    if (int r = ImageHeader::parse(std::move(bytes), header_))
        return r;
    if (opened == 1) {
        volume1HeaderSize_ = header_.headerSize;
        if (header_.hasFirstVolume())
            if (int r = adoptFirstVolumeHeader())
                return r;
    }
    if (callback_ != nullptr && removable_)
        callback_->MediaOpened(names_.path.c_str(), 1, header_.imageVolumes);
    if (callback_ != nullptr)
        return trialSelectAll();
    return kwv::kStoreOk;
}

// Opens the image file as volume 1, or on removable media its ".KWU" file.
int IMAGE_STORE_READER::openFirstFile(uint32_t* volume) {
    if (file_.open(names_.name(1))) {
        volume_ = *volume = 1;
        return kwv::kStoreOk;
    }
    if (removable_ && file_.open(names_.name(0))) {
        volume_ = *volume = 0;
        return kwv::kStoreOk;
    }
    return kwv::kStoreCannotOpen;
}

// Reads the header of the open volume: its first bytes, then the rest that
// its size field announces (within the format's limits).
int IMAGE_STORE_READER::readHeaderOf(uint32_t volume, std::vector<uint8_t>* bytes) {
    size_t head = volume == 0 ? kFirstVolumeHeaderSize : kShortHeaderSize;
    bytes->assign(head, 0);
    size_t got = 0;
    if (!file_.readAt(0, bytes->data(), head, &got))
        return kwv::kStoreShortRead;
    if (got < head)
        return kwv::kStoreInvalid;
    uint32_t magic = LoadLe32(*bytes, 0);
    bool fits =
        volume == 0 ? magic == kFirstVolumeMagic : magic == kImageMagicA || magic == kImageMagicB;
    if (!fits)
        return kwv::kStoreInvalid;
    size_t total = 0;
    if (int r = headerReadSize(*bytes, volume == 0, total))
        return r;
    if (total > head) {
        bytes->resize(total);
        if (!file_.readAt(head, bytes->data() + head, total - head, &got))
            return kwv::kStoreShortRead;
        if (got < total - head)
            return kwv::kStoreInvalid;
    }
    return kwv::kStoreOk;
}

// The ".KWU" volume holds the authoritative header of an image written
// across removable media. Without it and without a callback the image
// file's own header serves.
int IMAGE_STORE_READER::adoptFirstVolumeHeader() {
    file_.close();
    if (callback_ == nullptr) {
        if (!file_.open(names_.name(0)))
            return kwv::kStoreOk; // volume 1 is opened again when it is needed
        volume_ = 0;
    } else if (int r = selectVolume(0)) {
        return r;
    }
    std::vector<uint8_t> bytes;
    if (int r = readHeaderOf(0, &bytes))
        return r;
    ImageHeader first;
    if (int r = ImageHeader::parse(std::move(bytes), first))
        return r;
    header_ = std::move(first);
    return kwv::kStoreOk;
}

int IMAGE_STORE_READER::trialSelectAll() {
    for (uint32_t n = 1; n <= header_.partitionCount; ++n)
        if (int r = SelectPartition(n))
            return r;
    ClosePartition();
    return kwv::kStoreOk;
}

uint64_t IMAGE_STORE_READER::firstRecordOffset() const {
    PartitionRecord first;
    if (header_.recordCopy(1, first) && first.volume() == 1)
        return first.offset();
    return volume1HeaderSize_ != 0 ? volume1HeaderSize_ : header_.headerSize;
}

// Reads the record at offset of the open volume; kwv::kStoreInvalid when it is cut
// off or is no record.
int IMAGE_STORE_READER::readRecordHere(uint64_t offset, PartitionRecord* record) {
    uint8_t raw[kRecordSize];
    size_t got = 0;
    if (!file_.readAt(offset, raw, kRecordSize, &got))
        return kwv::kStoreShortRead;
    if (got < kRecordSize || !PartitionRecord::parse(raw, *record))
        return kwv::kStoreInvalid;
    return kwv::kStoreOk;
}

// Reads the 512-byte record at (volume, offset); a record cut off by the end
// of its volume is read whole from the start of the next one.
int IMAGE_STORE_READER::readRecordAt(uint32_t volume, uint64_t offset, PartitionRecord* record) {
    if (int r = selectVolume(volume))
        return r;
    if (offset + kRecordSize > file_.size()) {
        if (volume >= header_.imageVolumes)
            return kwv::kStoreInvalid;
        volume += 1;
        offset = 0;
        if (int r = selectVolume(volume))
            return r;
    }
    if (int r = readRecordHere(offset, record))
        return r;
    header_.continuationCopy(volume, offset, *record);
    return kwv::kStoreOk;
}

// Finds the record of partition n: the header's copy, else by walking the
// records of volume 1.
int IMAGE_STORE_READER::findRecord(uint32_t number, PartitionRecord* record, uint64_t* volume,
                                   uint64_t* offset) {
    if (header_.recordCopy(number, *record)) {
        *volume = record->volume();
        *offset = record->offset();
        return kwv::kStoreOk;
    }
    if (int r = walkTo(number))
        return r;
    *volume = 1;
    *offset = walked_[number - 1];
    return readRecordAt(1, *offset, record);
}

// Walks the records of volume 1 up to record n. Each record must carry a
// record magic; the next one lies behind its record, bitmap and data. The
// offsets found are kept, so every record is read once.
int IMAGE_STORE_READER::walkTo(uint32_t number) {
    if (walked_.empty())
        walkNext_ = firstRecordOffset();
    while (walked_.size() < number) {
        if (int r = selectVolume(1))
            return r;
        PartitionRecord rec;
        if (int r = readRecordHere(walkNext_, &rec))
            return r;
        uint64_t size = file_.size();
        uint64_t start = walkNext_ + kRecordSize + rec.bitmapSize();
        if (rec.dataLength() > size || start > size - rec.dataLength())
            return kwv::kStoreInvalid; // the next record would lie outside volume 1
        walked_.push_back(walkNext_);
        walkNext_ = start + rec.dataLength();
    }
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::SelectPartition(uint32_t number) {
    if (number == 0 || number > header_.partitionCount)
        return kwv::kStorePartitionRange;
    ClosePartition();
    PartitionRecord rec;
    uint64_t volume = 0, offset = 0;
    if (int r = findRecord(number, &rec, &volume, &offset))
        return r;
    if (volume == 0 || volume > header_.imageVolumes)
        return kwv::kStoreInvalid;
    record_ = rec;
    selected_ = number;
    recordVolume_ = dataVolume_ = uint32_t(volume);
    recordOffset_ = offset;
    readPosition_ = dataStartIn(recordVolume_);
    storedPosition_ = 0;
    DecoderKind kind = decoderKindFor(rec.compressionCode());
    if ((rec.flags() & kFlagCompressed) && kind != DecoderKind::None) {
        decoder_.reset(new (std::nothrow) LegacyDecoder(kind));
        if (!decoder_) {
            ClosePartition();
            return kwv::kStoreOutOfMemory;
        }
    }
    return kwv::kStoreOk;
}

int32_t IMAGE_STORE_READER::ClosePartition() {
    decoder_.reset();
    selected_ = 0;
    return kwv::kStoreOk;
}

// Makes volume n the open one, asking for it on removable media. The record
// at its known place must belong to this image and to this volume: a volume
// of another set, or another volume of this set in its place, is refused
// (on removable media the right one is asked for).
int IMAGE_STORE_READER::selectVolume(uint32_t volume) {
    if (file_.isOpen() && volume_ == volume)
        return kwv::kStoreOk;
    file_.close();
    if (cancelled_)
        return kwv::kStoreCancelled;
    for (bool first = true;; first = false) {
        int failure = kwv::kStoreCannotOpen;
        if (file_.open(names_.name(volume))) {
            volume_ = volume;
            if ((failure = checkVolumeRecord(volume)) == kwv::kStoreOk)
                break;
            file_.close();
        }
        if (!removable_ || (failure != kwv::kStoreCannotOpen && callback_ == nullptr))
            return failure;
        if (!askForVolume(volume, first && failure == kwv::kStoreCannotOpen)) {
            cancelled_ = true;
            return kwv::kStoreCancelled;
        }
    }
    noteVolumeOpened(volume);
    return kwv::kStoreOk;
}

bool IMAGE_STORE_READER::askForVolume(uint32_t volume, bool firstFailure) {
    if (callback_ == nullptr)
        return false;
    std::string name = names_.name(volume);
    const char* path = name.c_str();
    if (!firstFailure)
        callback_->WrongMedia(path);
    if (volume == 1)
        return callback_->AskFirstMedia(path) & 0xFF;
    if (volume == 0)
        return callback_->AskLastMedia(path) & 0xFF;
    if (removable_)
        return callback_->AskMediaNumber(path, volume) & 0xFF;
    if (volume == volume_ + 1)
        return callback_->AskNextMedia(path) & 0xFF;
    return callback_->AskMediaWithFile(path) & 0xFF;
}

// Reads the record at the open volume's known place: 2,048 in the ".KWU"
// volume, the first record in volume 1, the selected partition's record in
// its own volume, and the continuation record at 0 in the others. The checks
// apply to the record read from the file; the header's copy of a
// continuation record then gives its values.
int IMAGE_STORE_READER::checkVolumeRecord(uint32_t volume) {
    uint64_t place = 0;
    if (selected_ != 0 && volume == recordVolume_)
        place = recordOffset_;
    else if (volume == 0)
        place = kFirstVolumeHeaderSize;
    else if (volume == 1)
        place = firstRecordOffset();
    PartitionRecord rec;
    if (int r = readRecordHere(place, &rec))
        return r;
    if (!belongsHere(rec, volume, place))
        return kwv::kStoreInvalid;
    header_.continuationCopy(volume, place, rec);
    volumeRecord_ = rec;
    volumeBitmapSize_ = rec.bitmapSize();
    volumeDataLength_ = rec.u32(52);
    return kwv::kStoreOk;
}

// Whether a record read at (volume, place) belongs there: the set's
// identifier, and the place the record gives for itself (bytes 80 and 84).
// The ".KWU" volume holds copies of other volumes' records; the oldest
// images (512-byte header) carry neither.
bool IMAGE_STORE_READER::belongsHere(const PartitionRecord& record, uint32_t volume,
                                     uint64_t place) const {
    if (header_.isShort())
        return true;
    if (record.setId() != header_.setId)
        return false;
    return volume == 0 || (record.volume() == volume && record.offset() == place);
}

void IMAGE_STORE_READER::noteVolumeOpened(uint32_t volume) {
    if (callback_ == nullptr)
        return;
    std::string name = names_.name(volume);
    if (removable_)
        callback_->MediaOpened(name.c_str(), volume, header_.imageVolumes);
    else
        callback_->MediaOpened(name.c_str(), 0, 0);
}

} // namespace kw::legacy
