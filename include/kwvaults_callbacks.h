// The two callback interfaces that cross between the editor and libkwvaults.
//
// Both binaries include this header. The interfaces are tables of operations in
// a fixed slot order, called with 32-bit arguments; only the low byte of a result
// is tested (0 = no / cancel, anything else = yes / go on). Neither interface has
// a destructor slot: the library never deletes the caller's object, and the
// caller never deletes the library's password sink.
#pragma once

#include <cstdint>

// The library's password interface: the editor hands each attempt (a
// zero-terminated UTF-16 text) to TryPassword until one is accepted.
class PASSWORD_SINK {
public:
    /* 0 */ virtual uint32_t TryPassword(const char16_t* text) = 0;

protected:
    ~PASSWORD_SINK() = default;
};

// The caller's object for media prompts, notices, progress and the password
// question. Paths are the 8-bit, zero-terminated paths of the volume files
// concerned; "number" is a media number counted from 1.
class MEDIA_CHANGE_CALLBACK {
public:
    /*  0 */ virtual uint32_t AskNewMediaForCreate(const char* path) = 0;
    /*  1 */ virtual uint32_t AskFirstMediaForUpdate(const char* path) = 0;
    /*  2 */ virtual uint32_t AskFirstMedia(const char* path) = 0;
    /*  3 */ virtual uint32_t AskLastMedia(const char* path) = 0;
    /*  4 */ virtual uint32_t AskNextMedia(const char* path) = 0;
    /*  5 */ virtual uint32_t AskMediaWithFile(const char* path) = 0;
    /*  6 */ virtual uint32_t AskNewMediaNumber(const char* path, uint32_t number) = 0;
    /*  7 */ virtual uint32_t AskMediaNumber(const char* path, uint32_t number) = 0;
    /*  8 */ virtual void MediaOpened(const char* path, uint32_t volume, uint32_t partitions) = 0;
    /*  9 */ virtual void MediaStillFull(const char* path) = 0;
    /* 10 */ virtual void MediaCreateFailed(const char* path) = 0;
    /* 11 */ virtual void WrongMedia(const char* path) = 0;
    /* 12 */ virtual void MediaNotice(uint32_t value) = 0;
    /* 13 */ virtual void MediaFull(const char* path) = 0;
    /* 14 */ virtual uint32_t ConfirmEraseMedia(const char* path) = 0;
    /* 15 */ virtual uint32_t ConfirmDeleteImageSet(const char* path) = 0;
    /* 16 */ virtual void DeleteImageBegin() = 0;
    /* 17 */ virtual void DeleteImageEnd() = 0;
    /* 18 */ virtual void MediaPrepareBegin() = 0;
    /* 19 */ virtual void MediaPrepareEnd() = 0;
    /* 20 */ virtual void MediaWriteBegin() = 0;
    /* 21 */ virtual uint32_t MediaWriteProgress(uint32_t total, uint32_t done) = 0;
    /* 22 */ virtual void MediaWriteEnd() = 0;
    /* 23 */ virtual void ProgressBegin() = 0;
    /* 24 */ virtual uint32_t ProgressStep(uint32_t total, uint32_t done) = 0;
    /* 25 */ virtual void ProgressEnd() = 0;
    /* 26 */ virtual uint32_t AskPassword(PASSWORD_SINK* sink) = 0;
    /* 27 */ virtual void MediaEraseBegin() = 0;
    /* 28 */ virtual uint32_t MediaEraseProgress(uint32_t total, uint32_t done) = 0;
    /* 29 */ virtual void MediaEraseEnd() = 0;
    /* 30 */ virtual void MediaEjectBegin() = 0;
    /* 31 */ virtual void MediaEjectEnd() = 0;

protected:
    ~MEDIA_CHANGE_CALLBACK() = default;
};
