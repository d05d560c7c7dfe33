// The position read-out shown over the focusing and temperature pages: the
// position caption and figure, the three lamps, the number of samples per
// focus measurement and the progress of a measurement.
#pragma once

#include <QFrame>
#include <memory>
#include <mutex>
#include <string>

class QLabel;
class QTimer;
class TPageContext;
namespace kv {
class TlumLite;
}

// The position text as last shown, readable from any thread: the voice
// announcer reads it on its own thread while the GUI thread may be changing
// the label.
class TSharedCaption {
public:
    void Set(std::string text) {
        std::lock_guard lock(mutex_);
        text_ = std::move(text);
    }
    std::string Get() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

class TReadOutPanel : public QFrame {
    Q_OBJECT
public:
    // MovingLite stays lit this long after the last count.
    static constexpr int kMovingTimerMs = 1700;

    TReadOutPanel(TPageContext& form, QWidget* parent);

    // Shows the position. CTSLabel is written only through here, so the
    // shared copy never differs from what the user sees.
    void SetPositionText(const QString& text);
    QString PositionText() const;
    // The number CTSLabel shows (0 when it shows none).
    int PositionValue() const;
    // Shared with whoever reads it off the GUI thread; it lives as long as
    // the last holder.
    std::shared_ptr<const TSharedCaption> PositionCaption() const { return caption_; }

    kv::TlumLite* InLite() const { return inLite_; }
    kv::TlumLite* MovingLite() const { return movingLite_; }
    kv::TlumLite* OutLite() const { return outLite_; }
    QTimer* MovingTimer() const { return movingTimer_; }

private:
    TPageContext& form_;
    QLabel* ctsLabel_ = nullptr;
    kv::TlumLite* inLite_ = nullptr;
    kv::TlumLite* movingLite_ = nullptr;
    kv::TlumLite* outLite_ = nullptr;
    QTimer* movingTimer_ = nullptr;
    std::shared_ptr<TSharedCaption> caption_ = std::make_shared<TSharedCaption>();
};
