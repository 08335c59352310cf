#include "ui/menu_bar_view.h"
#include "ui/presentation.h"
#include "ui/switch_toggle.h"

#include "app_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using testing::AppHarness;

/// The panel over an AppState on fakes; Quit and About only record that they were asked.
struct Panel {
    AppHarness h;
    int quits = 0;
    bool assertionHeldAtQuit = true;
    std::unique_ptr<MenuBarView> view;

    MenuBarView& open() {
        auto& app = h.app ? *h.app : h.create();
        view = std::make_unique<MenuBarView>(
            app, [] {},
            [this] {
                ++quits;
                assertionHeldAtQuit = h.app->powerAssertionManager().isAsserted();
            });
        view->show();
        return *view;
    }
    template <class T = QWidget> T* find(const char* name) { return view->findChild<T*>(name); }
    std::vector<QWidget*> rows(const char* name) {
        std::vector<QWidget*> out;
        for (auto* w : view->findChildren<QWidget*>(name))
            if (!w->isHidden())
                out.push_back(w);
        return out;
    }
    QString text(const char* row, const char* label, std::size_t at = 0) {
        return rows(row).at(at)->findChild<QLabel*>(label)->text();
    }
    /// Lets the panel's own gathered redraw happen, as the event loop would.
    void settle() {
        QCoreApplication::processEvents();
        h.time.advance(MenuBarView::coalescingSeconds);
        QCoreApplication::processEvents(); // rows added to a shown panel show on the next turn
    }
};

TEST(Panel, VolumeRowsAppearSwitchAndStayWhenGoneAndCanBeSeenAtOnce) {
    Panel p;
    p.open();
    EXPECT_FALSE(p.find("noVolumesLabel")->isHidden());
    p.h.mountLater("UUID-A", "Alpha");
    p.settle();
    EXPECT_TRUE(p.find("noVolumesLabel")->isHidden());
    for (const char* name : {"volumeRow", "activityRow", "quitButton"})
        EXPECT_FALSE(p.find(name)->visibleRegion().isEmpty()) << name << " is cut off";
    EXPECT_EQ(p.text("volumeRow", "protocolBadge"), "USB");

    auto* watch = p.rows("volumeRow").at(0)->findChild<SwitchToggle*>("watchSwitch");
    QTest::mouseClick(watch, Qt::LeftButton);
    p.settle();
    EXPECT_EQ(p.h.settings.writes, 1);
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);
    p.h.volumeSystem.remove(AppHarness::mountPathFor("Alpha"), /*ejected=*/true);
    p.settle();
    ASSERT_EQ(p.rows("volumeRow").size(), 1u);
    EXPECT_FALSE(watch->isEnabled());
    EXPECT_FALSE(watch->isChecked());
    EXPECT_EQ(p.text("volumeRow", "statusLabel"), "Disconnected");
}

TEST(Panel, AnOpenPanelRedrawsOncePerTickAndAClosedOneWhenShown) {
    Panel p;
    for (const char* name : {"A", "B", "C", "D"})
        p.h.presentAtLaunch(std::string("UUID-") + name, name);
    auto& view = p.open();
    p.h.app->toggleGlobalActive();
    p.settle();
    const int before = view.refreshCount();
    p.h.time.advance(10 * 45);
    EXPECT_LE(view.refreshCount() - before, 10); // four results per tick, one redraw
    EXPECT_EQ(p.text("volumeRow", "statusLabel", 3), "Active");

    view.hide();
    p.h.mountLater("UUID-E", "E");
    p.h.time.advance(45);
    EXPECT_EQ(p.rows("volumeRow").size(), 4u);
    view.show();
    EXPECT_EQ(p.rows("volumeRow").size(), 5u);
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
        WatchedVolume v{.id = "X", .isCurrentlyMounted = mounted, .status = status};
        EXPECT_EQ(statusLabel(v), (StatusLabel{QString::fromUtf8(text), tint})) << text;
    }
    Panel p;
    p.h.presentAtLaunch("UUID-A", "Alpha");
    p.open();
    p.h.app->volumeMonitor().markStatus("UUID-A", VolumeStatus::failed, std::nullopt,
                                        "Input/output error");
    p.settle();
    auto* row = p.rows("volumeRow").at(0);
    EXPECT_EQ(p.text("volumeRow", "statusLabel"), "Ping failed");
    EXPECT_EQ(row->toolTip(), "Input/output error");
    EXPECT_EQ(row->accessibleDescription(), "Input/output error");
}

TEST(Panel, ActivityShowsTheTwentyNewestWithToneDotsAndIsolatedNames) {
    Panel p;
    p.h.presentAtLaunch("UUID-A", "x\u202Egnp.exe\n");
    auto& app = p.h.create();
    for (int i = 0; i < 25; ++i)
        app.eventLog().record(Kind::pingSucceeded, "Old" + std::to_string(i), "");
    app.eventLog().record(Kind::unexpectedDisconnect, "Backup", "");
    app.eventLog().record(Kind::sleepPreventionStarted, std::nullopt, "");
    app.eventLog().record(Kind::mounted, "x\u202Egnp.exe\n", "");
    p.open();
    ASSERT_EQ(p.rows("activityRow").size(), 20u);
    const QString isolated = QString::fromUtf8("\u2068x<RLO>gnp.exe\u240A\u2069");
    EXPECT_EQ(p.text("activityRow", "eventLabel"), "Mounted \u2014 " + isolated);
    EXPECT_EQ(p.rows("volumeRow").at(0)->accessibleName(), isolated);
    EXPECT_EQ(p.text("activityRow", "eventLabel", 1), "Sleep prevention started");
    EXPECT_EQ(p.text("activityRow", "eventLabel", 19),
              "Keep-alive ping ok \u2014 \u2068Old8\u2069");
    for (auto [at, tint] : {std::pair{1, Tint::green}, {2, Tint::red}})
        EXPECT_EQ(p.rows("activityRow").at(at)->findChild<QWidget*>("kindDot")->property("tint"),
                  static_cast<int>(tint));
    using namespace std::chrono;
    const auto minute = floor<minutes>(system_clock::now()) - hours(30);
    const auto at = [&](int s) {
        return eventTimeText(LogEvent{.timestamp = minute + seconds(s)});
    };
    EXPECT_EQ(at(1), at(59));
    EXPECT_NE(at(59), at(61));
    EXPECT_FALSE(at(1).contains(QString::number(QDate::currentDate().year())));
}

TEST(Panel, ControlsCallTheirOperationAndShowWhatIsPublished) {
    Panel p;
    p.h.settings.raw["keepAliveInterval"] = 90.0;
    p.h.loginItem.refusal = "Read-only file system";
    p.h.presentAtLaunch("UUID-A", "Alpha");
    auto& view = p.open();
    auto* picker = p.find<QComboBox>("intervalPicker");
    EXPECT_EQ(picker->currentIndex(), -1); // 90 is none of the choices
    emit picker->activated(3);
    p.settle();
    EXPECT_EQ(picker->currentText(), "120s");
    EXPECT_EQ(p.h.app->keepAliveInterval.get(), 120.0);

    auto* box = p.find<QCheckBox>("launchAtLogin");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    p.settle();
    EXPECT_FALSE(box->isChecked());

    // The keyboard alone: Space on the global switch, Tab to the volume's switch, Escape.
    QSignalSpy dismissed(&view, &MenuBarView::dismissRequested);
    p.find("globalSwitch")->setFocus();
    QTest::keyClick(p.find("globalSwitch"), Qt::Key_Space);
    p.settle();
    EXPECT_TRUE(p.find<SwitchToggle>("globalSwitch")->isChecked());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), p.find("watchSwitch"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(dismissed.count(), 1);

    QTest::mouseClick(p.find("quitButton"), Qt::LeftButton);
    EXPECT_EQ(p.quits, 1);
    EXPECT_FALSE(p.assertionHeldAtQuit);
    EXPECT_FALSE(p.h.app->vornix().isRunning());
}

/// Marks every text it is asked for, to show which texts go through translation.
class MarkingTranslator : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override {
        return QStringLiteral("<") + QString::fromUtf8(source) + QStringLiteral(">");
    }
    bool isEmpty() const override { return false; }
};

TEST(Panel, FixedTextsAreTranslatedAndNamesAreNot) {
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Panel p;
    p.h.presentAtLaunch("UUID-A", "Mounted"); // a volume named like a fixed text
    p.open();
    QCoreApplication::removeTranslator(&translator);
    EXPECT_EQ(p.find<SwitchToggle>("globalSwitch")->text(), "<Keep drives awake>");
    EXPECT_EQ(p.text("volumeRow", "statusLabel"), "<Idle>");
    EXPECT_EQ(p.text("volumeRow", "protocolBadge"), "USB");
    EXPECT_EQ(p.text("activityRow", "eventLabel"), "<Mounted> \u2014 \u2068Mounted\u2069");
}

} // namespace
} // namespace vornix

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0); // also when the tests are only listed
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
