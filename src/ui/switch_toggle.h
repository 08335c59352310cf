#pragma once

#include <QCheckBox>

namespace vornix {

/// A checkbox drawn as a switch, with its text (if any) before it. It never flips itself: a
/// click only emits `clicked`, and the owner sets the state it reads back from the model, so
/// the switch always shows the published value. Screen readers see a check box.
class SwitchToggle : public QCheckBox {
    Q_OBJECT
public:
    explicit SwitchToggle(const QString& text = {}, QWidget* parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    bool hitButton(const QPoint& pos) const override;
    void nextCheckState() override {}

private:
    QSize trackSize() const;
};

} // namespace vornix
