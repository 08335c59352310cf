#include "ui/menu_bar_view.h"
#include "ui/presentation.h"

#include "app_harness.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace vornix {
namespace {

/// The panel over an AppState on fakes; Quit counts 1, or 100 while sleep is still held.
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
    QWidget* find(const char* name, int at = 0) {
        return view->findChildren<QWidget*>(name).at(at);
    }
    QString text(const char* label, int at = 0) {
        return view->findChildren<QLabel*>(label).at(at)->text();
    }
    /// Lets the panel's own gathered redraw happen, as the event loop would.
    void settle() {
        h.time.advance(MenuBarView::coalescingSeconds);
        QCoreApplication::processEvents(); // rows added to a shown panel show on the next turn
    }
};

TEST(Panel, RowsArriveVisiblyAndItRedrawsOncePerTickWhenOpenAndWhenShownWhenClosed) {
    Panel p;
    auto& view = p.open();
    for (const std::string name : {"A", "B", "C", "D"})
        p.h.plugIn("UUID-" + name, name);
    p.settle();
    for (const char* name : {"volumeRow", "activityRow", "quitButton"})
        EXPECT_FALSE(p.find(name)->visibleRegion().isEmpty()) << name << " is cut off";
    p.h.app->toggleGlobalActive();
    const int before = view.refreshCount();
    p.h.time.advance(10 * 45);
    EXPECT_LE(view.refreshCount() - before, 11); // four results a tick, one redraw
    EXPECT_EQ(p.text("statusLabel", 3), "Active");
    view.hide();
    p.h.plugIn("UUID-E", "E");
    p.h.time.advance(45);
    EXPECT_EQ(view.findChildren<QWidget*>("volumeRow").size(), 4);
    view.show();
    EXPECT_EQ(view.findChildren<QWidget*>("volumeRow").size(), 5);
}

TEST(Panel, RowsShowToneDotsIsolatedNamesAndWhyAPingFailed) {
    Panel p;
    const std::string name = "x\u202Egnp.exe\n";
    p.h.plugIn("UUID-A", name, false);
    auto& log = p.h.create().eventLog();
    for (int i = 0; i < 25; ++i)
        log.record(LogEvent::Kind::pingSucceeded, "Old", "");
    log.record(LogEvent::Kind::unexpectedDisconnect, "Backup", "");
    log.record(LogEvent::Kind::mounted, name, "");
    p.open();
    const QString isolated = QString::fromUtf8("\u2068x<RLO>gnp.exe\u240A\u2069");
    EXPECT_EQ(p.text("eventLabel"), "Mounted \u2014 " + isolated);
    EXPECT_EQ(p.find("volumeRow")->accessibleName(), isolated);
    EXPECT_EQ(p.view->findChildren<QWidget*>("activityRow").size(), 20);
    EXPECT_EQ(p.find("kindDot", 1)->property("tint"), static_cast<int>(Tint::red));

    p.h.app->volumeMonitor().markStatus("UUID-A", VolumeStatus::failed, {}, "Input/output error");
    p.settle();
    EXPECT_EQ(p.text("statusLabel"), "Ping failed");
    EXPECT_EQ(statusLabel(*p.h.app->volumeMonitor().volume("UUID-A")).tint, Tint::red);
    EXPECT_EQ(p.find("volumeRow")->toolTip(), "Input/output error");
    EXPECT_EQ(p.find("volumeRow")->accessibleDescription(), "Input/output error");
}

TEST(Panel, ControlsWorkByKeyboardAloneAndQuitShutsDownFirst) {
    Panel p;
    p.h.plugIn("UUID-A", "Alpha", false);
    auto& view = p.open();
    p.settle();
    QSignalSpy dismissed(&view, &MenuBarView::dismissRequested);
    p.find("globalSwitch")->setFocus();
    // Switch on, the row's switch off, past the interval picker, both checkboxes flipped.
    for (auto key : {Qt::Key_Space, Qt::Key_Tab, Qt::Key_Space, Qt::Key_Tab, Qt::Key_Tab,
                     Qt::Key_Space, Qt::Key_Tab, Qt::Key_Space, Qt::Key_Escape})
        QTest::keyClick(QApplication::focusWidget(), key);
    EXPECT_TRUE(p.h.app->isActive.get());
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);
    EXPECT_TRUE(p.h.app->pauseOnBattery.get());
    EXPECT_FALSE(p.h.app->notifyAboutDriveTrouble.get());
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
