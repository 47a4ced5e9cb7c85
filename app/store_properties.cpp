#include "app/store_properties.h"

#include "include/filetime.h"
#include "kwvaults.h"

#include <QDateTime>

#include <vector>

namespace kw::app {
namespace {

constexpr uint32_t kDescriptionBytes = 1024; // an image's description
constexpr uint32_t kPartTextBytes = 261;     // a part's name or description, 260 characters

// A text the store copies into a buffer of `size` bytes.
template <class Get> std::string StoreText(uint32_t size, Get get) {
    std::vector<char> buffer(size, '\0');
    if (get(buffer.data(), size) != 0)
        return {};
    buffer.back() = '\0';
    return std::string(buffer.data());
}

// The length of one part stream, closed again; 0 when it does not open.
template <class Open> uint64_t StreamLength(PART_STORE& store, Open open) {
    uint64_t length = 0;
    if (open(&length) != 0)
        return 0;
    store.ClosePartStream();
    return length;
}

} // namespace

uint64_t FileTimeOf(int year, int month, int day, int hour, int minute, int second) {
    QDate date(year, month, day);
    QTime time(hour, minute, second);
    if (!date.isValid() || !time.isValid() || year < 1601)
        return 0;
    qint64 ms = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch();
    return kwtime::FromUnix(ms / 1000, static_cast<long>(ms % 1000) * 1000000);
}

ImageProperties ReadImageProperties(PART_STORE& store) {
    ImageProperties p;
    p.flags = store.GetImageFlags();
    p.description = StoreText(kDescriptionBytes,
                              [&](char* b, uint32_t n) { return store.GetDescription(b, n); });
    store.ClosePart();
    p.imageBytes = store.GetImageSize();
    int32_t y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (store.GetModificationTime(&y, &mo, &d, &h, &mi, &s) == 0)
        p.modified = FileTimeOf(y, mo, d, h, mi, s);
    p.volumeCount = store.GetVolumeCount();
    return p;
}

PartitionProperties ReadPartitionProperties(PART_STORE& store, uint32_t index) {
    PartitionProperties p;
    p.code = store.SelectPart(index);
    if (p.code != 0)
        return p;
    p.name =
        StoreText(kPartTextBytes, [&](char* b, uint32_t n) { return store.GetPartName(b, n); });
    p.description = StoreText(kPartTextBytes,
                              [&](char* b, uint32_t n) { return store.GetPartDescription(b, n); });
    p.driveLetter = store.GetDriveLetter();
    p.flags = store.GetPartFlags();
    const uint64_t sectorBytes = store.GetBytesPerSector();
    p.partitionBytes = sectorBytes * store.GetTotalSectors();
    p.usedBytes = uint64_t(store.GetUsedBlockCount()) * sectorBytes * store.GetSectorsPerBlock();
    p.unusedBytes = p.usedBytes < p.partitionBytes ? p.partitionBytes - p.usedBytes : 0;
    p.physicalBytes = StreamLength(store, [&](uint64_t* n) { return store.OpenUdata(n); }) +
                      StreamLength(store, [&](uint64_t* n) { return store.OpenUbmap(n); });
    store.ClosePart();
    return p;
}

} // namespace kw::app
