#pragma once

#include <QObject>
#include <QWidget>

namespace morvale {

// Draws a ring in the highlight colour around whichever control of one window holds the keyboard
// focus, whatever the style: some styles draw a focused button like the default one, and a list's
// frame not at all. The ring is a child widget of the focused control, so it moves, scrolls and
// clips with it; it takes no input. Focus taken by a click shows no ring.
class FocusRing : public QObject {
    Q_OBJECT
public:
    // Follows the focus within `window`, whose child it is.
    explicit FocusRing(QWidget* window);

    // The control the ring is drawn around, or null.
    QWidget* target() const { return target_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void follow(QWidget* control);

    QWidget* window_;
    QWidget* target_ = nullptr;
    QWidget* ring_ = nullptr;  // goes with the control it is drawn on, and is made again for the next
};

}  // namespace morvale
