#pragma once

#include <QCheckBox>

namespace vornix {

/// A checkbox drawn as a switch, with its text (if any) before it. Screen readers see a check
/// box, and it flips as one does, whether by pointer, keyboard or an assistive tool's toggle
/// action: owners act on `toggled` and then set the state the model publishes.
class SwitchToggle : public QCheckBox {
    Q_OBJECT
public:
    explicit SwitchToggle(const QString& text = {}, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;

private:
    QSize trackSize() const;
};

/// A check box whose box stands out from the window at least 3:1 in the palettes Vornix makes
/// and in the style's stock one (the style draws its outline from the window colour, which
/// hardly shows on a dark window, nor on Fusion's light grey). In a palette the desktop's theme
/// gives it is drawn as the theme has it.
class OutlinedCheckBox : public QCheckBox {
    Q_OBJECT
public:
    using QCheckBox::QCheckBox;

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace vornix
