// A callback for tests and tools that drive the image library unattended:
// every media question gets one fixed answer (1 go on, 0 give up), the
// password question one password, and every notice, erase and progress
// slot lets the work go on. Base is MEDIA_CHANGE_CALLBACK or an interface
// derived from it; a derived class adds that interface's own slots.
#pragma once

#include "kwvaults_callbacks.h"

#include <cstdint>
#include <string>
#include <utility>

namespace kw::test {

template <class Base = MEDIA_CHANGE_CALLBACK> class AnsweringCallback : public Base {
public:
    AnsweringCallback(uint32_t mediaAnswer, std::u16string password)
        : answer_(mediaAnswer), password_(std::move(password)) {}
    void SetPassword(std::u16string password) { password_ = std::move(password); }

    uint32_t AskNewMediaForCreate(const char*) override { return answer_; }
    uint32_t AskFirstMediaForUpdate(const char*) override { return answer_; }
    uint32_t AskFirstMedia(const char*) override { return answer_; }
    uint32_t AskLastMedia(const char*) override { return answer_; }
    uint32_t AskNextMedia(const char*) override { return answer_; }
    uint32_t AskMediaWithFile(const char*) override { return answer_; }
    uint32_t AskNewMediaNumber(const char*, uint32_t) override { return answer_; }
    uint32_t AskMediaNumber(const char*, uint32_t) override { return answer_; }
    void MediaOpened(const char*, uint32_t, uint32_t) override {}
    void MediaStillFull(const char*) override {}
    void MediaCreateFailed(const char*) override {}
    void WrongMedia(const char*) override {}
    void MediaNotice(uint32_t) override {}
    void MediaFull(const char*) override {}
    uint32_t ConfirmEraseMedia(const char*) override { return 0; }
    uint32_t ConfirmDeleteImageSet(const char*) override { return 0; }
    void DeleteImageBegin() override {}
    void DeleteImageEnd() override {}
    void MediaPrepareBegin() override {}
    void MediaPrepareEnd() override {}
    void MediaWriteBegin() override {}
    uint32_t MediaWriteProgress(uint32_t, uint32_t) override { return 1; }
    void MediaWriteEnd() override {}
    void ProgressBegin() override {}
    uint32_t ProgressStep(uint32_t, uint32_t) override { return 1; }
    void ProgressEnd() override {}
    uint32_t AskPassword(PASSWORD_SINK* sink) override {
        return password_.empty() ? 0 : sink->TryPassword(password_.c_str());
    }
    void MediaEraseBegin() override {}
    uint32_t MediaEraseProgress(uint32_t, uint32_t) override { return 0; }
    void MediaEraseEnd() override {}
    void MediaEjectBegin() override {}
    void MediaEjectEnd() override {}

private:
    uint32_t answer_;
    std::u16string password_;
};

} // namespace kw::test
