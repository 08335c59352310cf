#include "ui/menu_bar_view.h"
#include "ui/presentation.h"
#include "ui/switch_toggle.h"

#include "app_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;

/// The panel over an AppState on fakes; Quit only records whether the assertion was still held.
struct Panel {
    testing::AppHarness h;
    int quits = 0;
    std::unique_ptr<MenuBarView> view;

    MenuBarView& open() {
        view = std::make_unique<MenuBarView>(
            h.app ? *h.app : h.create(), [] {},
            [this] { quits += h.app->powerAssertionManager().isAsserted() ? 100 : 1; });
        view->show();
        return *view;
    }
    template <class T = QWidget> T* find(const char* name) { return view->findChild<T*>(name); }
    QWidget* row(const char* name, int at = 0) { return view->findChildren<QWidget*>(name).at(at); }
    QString text(const char* row, const char* label, int at = 0) {
        return this->row(row, at)->findChild<QLabel*>(label)->text();
    }
    /// Lets the panel's own gathered redraw happen, as the event loop would.
    void settle() {
        h.time.advance(MenuBarView::coalescingSeconds);
        QCoreApplication::processEvents(); // rows added to a shown panel show on the next turn
    }
};

TEST(Panel, RowsArriveVisibleAtOnceSwitchAndStayWhenGone) {
    Panel p;
    p.open();
    p.h.plugIn("UUID-A", "Alpha");
    p.settle();
    EXPECT_TRUE(p.find("noVolumesLabel")->isHidden());
    for (const char* name : {"volumeRow", "activityRow", "quitButton"})
        EXPECT_FALSE(p.find(name)->visibleRegion().isEmpty()) << name << " is cut off";
    auto* watch = p.find<SwitchToggle>("watchSwitch");
    QTest::mouseClick(watch, Qt::LeftButton);
    p.h.volumeSystem.remove(testing::AppHarness::mountPathFor("Alpha"), /*ejected=*/true);
    p.settle();
    EXPECT_FALSE(watch->isEnabled() || watch->isChecked());
    EXPECT_EQ(p.text("volumeRow", "statusLabel"), "Disconnected");
}

TEST(Panel, AnOpenPanelRedrawsOncePerTickAndAClosedOneWhenShown) {
    Panel p;
    for (const std::string name : {"A", "B", "C", "D"})
        p.h.plugIn("UUID-" + name, name, false);
    auto& view = p.open();
    p.h.app->toggleGlobalActive();
    const int before = view.refreshCount();
    p.h.time.advance(10 * 45);
    EXPECT_LE(view.refreshCount() - before, 11); // four results a tick, one redraw
    EXPECT_EQ(p.text("volumeRow", "statusLabel", 3), "Active");
    view.hide();
    p.h.plugIn("UUID-E", "E");
    p.h.time.advance(45);
    EXPECT_EQ(view.findChildren<QWidget*>("volumeRow").size(), 4);
    view.show();
    EXPECT_EQ(view.findChildren<QWidget*>("volumeRow").size(), 5);
}

TEST(Panel, StatusLinesAndAFailedPingsReason) {
    const std::vector<std::tuple<VolumeStatus, bool, const char*, Tint>> cases{
        {VolumeStatus::active, true, "Active", Tint::green},
        {VolumeStatus::idle, true, "Idle", Tint::secondary},
        {VolumeStatus::idle, false, "Disconnected", Tint::secondary},
        {VolumeStatus::stalled, true, "Slow to respond", Tint::orange},
        {VolumeStatus::readOnly, true, "Read-only \u2014 can't ping", Tint::red},
        {VolumeStatus::full, true, "Nearly full \u2014 paused", Tint::red},
        {VolumeStatus::failed, true, "Ping failed", Tint::red}};
    for (const auto& [status, mounted, text, tint] : cases) {
        WatchedVolume v{.isCurrentlyMounted = mounted, .status = status};
        EXPECT_EQ(statusLabel(v), (StatusLabel{QString::fromUtf8(text), tint})) << text;
    }
    Panel p;
    p.h.plugIn("UUID-A", "Alpha", false);
    p.open();
    p.h.app->volumeMonitor().markStatus("UUID-A", VolumeStatus::failed, {}, "Input/output error");
    p.settle();
    EXPECT_EQ(p.row("volumeRow")->toolTip(), "Input/output error");
    EXPECT_EQ(p.row("volumeRow")->accessibleDescription(), "Input/output error");
}

/// Marks every text it is asked for, to show which texts go through translation.
struct MarkingTranslator : QTranslator {
    QString translate(const char*, const char* text, const char*, int) const override {
        return QStringLiteral("<%1>").arg(QString::fromUtf8(text));
    }
    bool isEmpty() const override { return false; }
};

TEST(Panel, ActivityShowsTheTwentyNewestTranslatedWithToneDotsAndIsolatedNames) {
    Panel p;
    const std::string name = "x\u202Egnp.exe\n";
    p.h.plugIn("UUID-A", name, false);
    auto& log = p.h.create().eventLog();
    for (int i = 0; i < 25; ++i)
        log.record(Kind::pingSucceeded, "Old" + std::to_string(i), "");
    log.record(Kind::unexpectedDisconnect, "Backup", "");
    log.record(Kind::mounted, name, "");
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    p.open();
    QCoreApplication::removeTranslator(&translator);
    const QString isolated = QString::fromUtf8("\u2068x<RLO>gnp.exe\u240A\u2069");
    EXPECT_EQ(p.text("activityRow", "eventLabel"), "<Mounted> \u2014 " + isolated);
    EXPECT_EQ(p.row("volumeRow")->accessibleName(), isolated);
    EXPECT_EQ(p.text("activityRow", "eventLabel", 19),
              "<Keep-alive ping ok> \u2014 \u2068Old7\u2069");
    EXPECT_EQ(p.view->findChildren<QWidget*>("activityRow").size(), 20);
    for (auto [at, tint] : {std::pair{0, Tint::green}, {1, Tint::red}})
        EXPECT_EQ(p.row("kindDot", at)->property("tint"), static_cast<int>(tint));
    EXPECT_EQ(p.text("volumeRow", "statusLabel"), "<Idle>");
}

TEST(Panel, ControlsWorkByKeyboardAloneAndQuitShutsDownFirst) {
    Panel p;
    p.h.settings.raw["keepAliveInterval"] = 90.0;
    p.h.plugIn("UUID-A", "Alpha", false);
    auto& view = p.open();
    auto* picker = p.find<QComboBox>("intervalPicker");
    EXPECT_EQ(picker->currentIndex(), -1); // 90 is none of the choices
    emit picker->activated(3);
    p.settle();
    EXPECT_EQ(picker->currentText(), "120s");
    QSignalSpy dismissed(&view, &MenuBarView::dismissRequested);
    p.find("globalSwitch")->setFocus();
    for (auto key : {Qt::Key_Space, Qt::Key_Tab, Qt::Key_Space, Qt::Key_Escape})
        QTest::keyClick(QApplication::focusWidget(), key);
    EXPECT_TRUE(p.h.app->isActive.get());
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);
    EXPECT_EQ(dismissed.count(), 1);
    QTest::mouseClick(p.find("quitButton"), Qt::LeftButton);
    EXPECT_EQ(p.quits, 1);
}

} // namespace
} // namespace vornix

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0); // also when the tests are only listed
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
