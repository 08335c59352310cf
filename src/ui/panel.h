#pragma once

#include "app/app_state.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>

class QComboBox;
class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vornix {

class SwitchToggle;
class VolumeRow;

/// The panel. It holds no state of its own: it shows what AppState, its volume monitor and its
/// event log publish, is brought up to date whenever one of them publishes, and every control
/// calls exactly one AppState operation.
class Panel : public QWidget {
    Q_OBJECT
public:
    static constexpr int panelWidth = 320;
    static constexpr int panelInset = 12;
    static constexpr int panelSpacing = 10;
    static constexpr int maxActivityRows = 20;
    static constexpr int maxActivityHeight = 160;
    /// How long an open panel gathers changes before it redraws: far shorter than any tick,
    /// far longer than a tick's results take to come back from healthy drives.
    static constexpr double coalescingSeconds = 0.25;

    /// `quit` asks the application to end; it runs after AppState::shutdown().
    Panel(AppState& appState, std::function<void()> showAbout, std::function<void()> quit,
          QWidget* parent = nullptr);
    ~Panel() override;

    /// Brings every control up to date now (updates are otherwise gathered, see
    /// coalescingSeconds).
    void refresh();
    /// How many times the panel has been redrawn.
    int refreshCount() const { return refreshCount_; }

Q_SIGNALS:
    /// The user asked to close the panel (Escape).
    void dismissRequested();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // One builder per section, in the order the panel shows them.
    void buildMainSwitch(QVBoxLayout* layout);
    void buildVolumeSection(QVBoxLayout* layout);
    void buildSettings(QVBoxLayout* layout);
    void buildActivity(QVBoxLayout* layout);
    void buildActions(QVBoxLayout* layout);
    void scheduleRefresh();
    void refreshVolumes();
    void refreshActivity();
    void showInterval();
    void showSleepNote();
    void applyTextColours();
    void fitHeight();

    AppState& appState_;
    std::function<void()> showAbout_;
    std::function<void()> quit_;
    std::vector<Subscription> subscriptions_;
    std::shared_ptr<DelayedTask> pendingRefresh_;
    int refreshCount_ = 0;
    bool staleWhileHidden_ = false;

    SwitchToggle* globalSwitch_;
    QLabel* sleepNote_; // shown while the computer may still go to sleep
    QWidget* volumeSection_;
    QVBoxLayout* volumeLayout_;
    QLabel* noVolumesLabel_;
    std::map<std::string, VolumeRow*> rows_;
    std::vector<std::string> rowOrder_;
    QComboBox* intervalPicker_;
    QCheckBox* pauseOnBattery_;
    QCheckBox* troubleNotices_;
    QCheckBox* launchAtLogin_;
    QScrollArea* activityArea_;
    QWidget* activityList_;
};

} // namespace vornix
