// The editor's callback object, handed to the image library and the image
// access with every open or create: media prompts, the password question
// and progress windows, all shown on behalf of one explorer item.
#pragma once

#include "engine/imgaccess/imgaccess.h"

#include <QString>

#include <string>

namespace kw::app {

class UiServices;
class VtfeItem;

// The password units the library gets for a typed text: its UTF-16 units,
// at most 64. The older form sends "?" for every character above 127.
std::u16string PasswordUnits(const QString& text);
std::u16string OlderPasswordUnits(const QString& text);

// Owns nothing: the item it works for (may be none) outlives it or clears
// it with SetItem.
class VTFE_UI_CALLBACK final : public IMGACCESS_UI_CALLBACK {
public:
    explicit VTFE_UI_CALLBACK(UiServices& ui) : ui_(ui) {}
    void SetItem(VtfeItem* item) { item_ = item; }
    VtfeItem* Item() const { return item_; }

    uint32_t AskNewMediaForCreate(const char* path) override;
    uint32_t AskFirstMediaForUpdate(const char* path) override;
    uint32_t AskFirstMedia(const char* path) override;
    uint32_t AskLastMedia(const char* path) override;
    uint32_t AskNextMedia(const char* path) override;
    uint32_t AskMediaWithFile(const char* path) override;
    uint32_t AskNewMediaNumber(const char* path, uint32_t number) override;
    uint32_t AskMediaNumber(const char* path, uint32_t number) override;
    void MediaOpened(const char*, uint32_t, uint32_t) override {}
    void MediaStillFull(const char*) override {}
    void MediaCreateFailed(const char*) override {}
    void WrongMedia(const char* path) override;
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
    void ProgressBegin() override;
    uint32_t ProgressStep(uint32_t total, uint32_t done) override;
    void ProgressEnd() override;
    uint32_t AskPassword(PASSWORD_SINK* sink) override;
    void MediaEraseBegin() override {}
    uint32_t MediaEraseProgress(uint32_t, uint32_t) override { return 0; }
    void MediaEraseEnd() override {}
    void MediaEjectBegin() override {}
    void MediaEjectEnd() override {}
    uint32_t Query(uint32_t, uint32_t) override { return 4; }
    uint32_t Progress(uint32_t low, uint32_t high, uint32_t current) override;
    uint32_t EndProgress() override;

    // The drive part of a volume path: its first two characters.
    static QString GetDrive(const QString& path);

private:
    // Each call the library may make from a worker thread is carried over
    // to the window thread and done there by its ...Here twin.
    uint32_t AskMedia(const QString& format, const char* path);
    uint32_t AskMediaHere(const QString& format, const char* path);
    void WrongMediaHere(const char* path);
    void ProgressBeginHere();
    uint32_t ProgressStepHere(uint32_t total, uint32_t done);
    void ProgressEndHere();
    uint32_t ProgressHere(uint32_t low, uint32_t high, uint32_t current);
    uint32_t EndProgressHere();
    uint32_t AskPasswordHere(PASSWORD_SINK* sink);
    uint32_t AskMediaNumbered(const QString& format, const char* path, uint32_t number);
    QString RememberedPassword() const;
    void RememberPassword(const QString& text);
    // The password form; false when cancelled.
    bool ShowPasswordDialog(QString* text, int attempts);

    UiServices& ui_;
    VtfeItem* item_ = nullptr;
};

} // namespace kw::app
