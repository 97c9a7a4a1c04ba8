#pragma once

#include <QGroupBox>

namespace tervalo {

// A frame drawn the way the window's layout was drawn: an etched line whose top runs through
// the middle of the caption, at the frame's own top, so the frame's controls placed below the
// caption clear it. Qt's group box puts the whole caption above its line instead, which pushes
// the line down onto the first control. Children are placed by hand; nothing is laid out.
class EtchedFrame : public QGroupBox
{
    Q_OBJECT
public:
    using QGroupBox::QGroupBox;

    // The row of the frame's top line, from the frame's top edge.
    int topLine() const;
    // Where the caption is drawn (empty without a caption); the line is broken there.
    QRect captionRect() const;

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace tervalo
