#include "batch_ui/focus_ring.h"

#include <QApplication>
#include <QFocusEvent>
#include <QPainter>

namespace morvale {

namespace {

constexpr int kRingWidth = 2;

class Ring : public QWidget {
public:
    explicit Ring(QWidget* control) : QWidget(control) {
        setObjectName(QStringLiteral("focusRing"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        if (!parentWidget()->hasFocus()) return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(palette().color(QPalette::Highlight), kRingWidth));
        painter.setBrush(Qt::NoBrush);
        const qreal inset = kRingWidth / 2.0;
        painter.drawRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), 3, 3);
    }
};

}  // namespace

FocusRing::FocusRing(QWidget* window) : QObject(window), window_(window) {
    // Focus events go to the control that takes the focus, so only the application sees them all.
    qApp->installEventFilter(this);
}

void FocusRing::follow(QWidget* control) {
    if (target_ != nullptr) {
        target_->removeEventFilter(this);
        disconnect(target_, &QObject::destroyed, this, nullptr);
    }
    target_ = control;
    if (control == nullptr) {
        if (ring_ != nullptr) ring_->hide();
        return;
    }
    connect(control, &QObject::destroyed, this, [this] { target_ = nullptr; });
    if (ring_ == nullptr) {
        ring_ = new Ring(control);
        connect(ring_, &QObject::destroyed, this, [this] { ring_ = nullptr; });
    }
    ring_->setParent(control);
    control->installEventFilter(this);
    ring_->setGeometry(control->rect());
    ring_->raise();
    ring_->show();
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::FocusIn: {
            auto* control = qobject_cast<QWidget*>(watched);
            if (control == nullptr || control->window() != window_) break;
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            // A window coming back, or a popup closing, keeps what the control showed before.
            if (reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) {
                if (control == target_ && ring_ != nullptr) ring_->update();
                break;
            }
            follow(reason == Qt::MouseFocusReason ? nullptr : control);
            break;
        }
        case QEvent::FocusOut:
            if (watched == target_ && ring_ != nullptr) ring_->update();
            break;
        case QEvent::Resize:
            if (watched == target_ && ring_ != nullptr) ring_->setGeometry(target_->rect());
            break;
        case QEvent::ChildAdded:
            // Something the control adds later would cover the ring.
            if (watched == target_ && ring_ != nullptr) ring_->raise();
            break;
        default:
            break;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace morvale
