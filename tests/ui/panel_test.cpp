#include "ui/color_scheme.h"
#include "ui/panel.h"
#include "ui/presentation.h"
#include "ui/tray_application.h"

#include "app_harness.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

namespace vornix {
namespace {

/// The panel over an AppState on fakes; Quit counts 1, or 100 while sleep is still held.
struct PanelOnFakes {
    testing::AppHarness h;
    int quits = 0;
    std::unique_ptr<Panel> view;

    Panel& open() {
        view = std::make_unique<Panel>(
            h.app ? *h.app : h.create(), [] {},
            [this] { quits += h.app->idleInhibition().isWanted() ? 100 : 1; });
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
        h.time.advance(Panel::coalescingSeconds);
        QCoreApplication::processEvents(); // rows added to a shown panel show on the next turn
    }
};

TEST(Panel, RowsArriveVisiblyAndItRedrawsOncePerTickWhenOpenAndWhenShownWhenClosed) {
    PanelOnFakes p;
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
    PanelOnFakes p;
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
    EXPECT_EQ(p.find("volumeRow")->toolTip(), "Input/output error");
    EXPECT_EQ(p.find("volumeRow")->accessibleDescription(), "Input/output error");

    // Its drive's power mode, with the reading's time while nothing is kept awake; a failing drive
    // first, in red whatever the status.
    p.h.app->volumeMonitor().markPower("UUID-A", {DrivePowerState::standby, false, {}});
    p.h.app->volumeMonitor().markDrive("UUID-A", "disk", true);
    p.settle();
    EXPECT_TRUE(
        p.text("statusLabel").startsWith("Drive failing \u00b7 Ping failed \u00b7 asleep at "));
    EXPECT_TRUE(p.find("volumeRow")->toolTip().startsWith("The drive's own health check"));
    EXPECT_TRUE(p.find("volumeRow")->toolTip().endsWith("\nInput/output error"));
    p.h.app->volumeMonitor().markStatus("UUID-A", VolumeStatus::active, {});
    p.h.app->toggleGlobalActive();
    p.h.app->volumeMonitor().markDrive("UUID-A", "disk", false);
    p.h.app->volumeMonitor().markPower("UUID-A", {DrivePowerState::active, true, {}});
    p.settle();
    EXPECT_EQ(p.text("statusLabel"), "Active \u00b7 spinning");
}

TEST(Panel, ControlsActAlikeByKeysAndAssistiveToolsAndQuitShutsDownFirst) {
    PanelOnFakes p;
    p.h.plugIn("UUID-A", "Alpha", false);
    auto& view = p.open();
    p.settle();
    QSignalSpy dismissed(&view, &Panel::dismissRequested);
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

    // An assistive tool's toggle action runs the same command as a key, and each control then
    // shows what the model holds.
    for (const char* name :
         {"globalSwitch", "watchSwitch", "pauseOnBattery", "troubleNotices", "launchAtLogin"})
        QAccessible::queryAccessibleInterface(p.find(name))->actionInterface()->doAction("Toggle");
    auto& a = *p.h.app;
    for (const auto& [name, model, expected] :
         {std::tuple{"globalSwitch", a.isActive.get(), false},
          {"watchSwitch", a.volumeMonitor().volume("UUID-A")->isWatched, true},
          {"pauseOnBattery", a.pauseOnBattery.get(), false},
          {"troubleNotices", a.notifyAboutDriveTrouble.get(), true},
          {"launchAtLogin", a.launchAtLoginEnabled.get(), true}}) {
        EXPECT_EQ(model, expected) << name;
        EXPECT_EQ(static_cast<QAbstractButton*>(p.find(name))->isChecked(), expected) << name;
    }
    QTest::mouseClick(p.find("quitButton"), Qt::LeftButton);
    EXPECT_EQ(p.quits, 1);
}

/// The strongest contrast in `area` of `shot` against its commonest colour, what it is drawn on.
double contrastIn(const QImage& shot, const QRect& area) {
    std::map<QRgb, int> seen;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++seen[shot.pixel(x, y)];
    const auto most = [](auto& a, auto& b) { return a.second < b.second; };
    const QColor ground(std::max_element(seen.begin(), seen.end(), most)->first);
    double best = 1;
    for (const auto& [rgb, count] : seen)
        best = std::max(best, contrastRatio(QColor(rgb), ground));
    return best;
}

TEST(Panel, TonesSecondaryTextsAndUncheckedBoxesStandOutAsDrawnInLightAndDark) {
    for (const bool dark : {false, true}) {
        preferDarkPalette(dark); // Qt's own light palette, or ours
        PanelOnFakes p;
        const std::map<std::string, VolumeStatus> statuses{
            {"A", VolumeStatus::active}, {"B", VolumeStatus::stalled}, {"C", VolumeStatus::failed}};
        for (const auto& [name, status] : statuses)
            p.h.plugIn(name, name, false);
        p.h.create().eventLog().record(LogEvent::Kind::mounted, "A", "");
        for (const auto& [name, status] : statuses)
            p.h.app->volumeMonitor().markStatus(name, status, {}, "");
        p.open().setFixedHeight(600);
        const QImage shot = p.view->grab().toImage();
        const auto measured = [&](QWidget* w, QRect area) {
            return contrastIn(shot, area.translated(w->mapTo(p.view.get(), QPoint())));
        };
        for (const char* name : {"statusLabel", "eventTime", "activityHeading"})
            for (auto* label : p.view->findChildren<QLabel*>(name))
                EXPECT_GE(measured(label, label->contentsRect()), 4.6) // 4.5:1 with a margin
                    << label->text().toStdString() << (dark ? " on dark" : " on light");
        auto* box = p.view->findChild<QCheckBox*>("pauseOnBattery");
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect tick = box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
        EXPECT_GE(measured(box, tick.adjusted(-3, -3, 3, 3)), controlContrast);
    }
    preferDarkPalette(false);
}

TEST(Panel, AnIntervalItDoesNotOfferShowsAsItsOwnEntryAndAShortListScrollsNot) {
    PanelOnFakes p;
    p.h.plugIn("UUID-A", "Alpha");
    auto* picker = p.open().findChild<QComboBox*>("intervalPicker");
    QCoreApplication::processEvents();
    EXPECT_FALSE(p.view->findChild<QScrollArea*>()->verticalScrollBar()->isVisible());
    p.h.app->updateInterval(90);
    p.settle();
    EXPECT_EQ(std::pair(picker->currentIndex(), picker->currentText()),
              std::pair(3, QString("90s")));
    picker->setCurrentIndex(0); // as keys or an assistive tool choose
    EXPECT_EQ(p.h.app->keepAliveInterval.get(), 30);
    EXPECT_EQ(picker->count(), 4);
}

TEST(Panel, TrayTurnsRedForAFailingWatchedDriveOrANewestDisconnect) {
    const WatchedVolume ok{.isCurrentlyMounted = true};
    const WatchedVolume failed{.isCurrentlyMounted = true, .status = VolumeStatus::failed};
    const std::vector<LogEvent> pulled{{.kind = LogEvent::Kind::unexpectedDisconnect}};
    EXPECT_EQ(trayLook(false, {ok}, {}), TrayLook::idle);
    EXPECT_EQ(trayLook(true, {ok}, {}), TrayLook::awake);
    EXPECT_EQ(trayLook(true, {ok, failed}, {}), TrayLook::trouble);
    EXPECT_EQ(trayLook(false, {}, pulled), TrayLook::trouble);
    auto asleep = ok, failing = ok;
    asleep.status = VolumeStatus::fellAsleep;
    failing.driveFailing = true;
    EXPECT_EQ(trayLook(true, {asleep}, {}), TrayLook::trouble);
    EXPECT_EQ(trayLook(false, {failing}, {}), TrayLook::trouble);
}

TEST(Panel, ShowsTheSystemLanguage) {
    translateUserTextsWithQt(); // the notifications too
    for (const auto& [locale, label, pulled, notice, title] :
         {std::tuple{"de_DE", "Laufwerke wach halten", "Unerwartet getrennt", "„\u2068A\u2069“ ist",
                     "Laufwerke wach"},
          {"fr_FR", "Garder les disques éveillés", "Déconnexion inattendue", "« \u2068A\u2069 » a",
           "Disques éveillés"}}) {
        QLocale::setDefault(QLocale(locale)); // as LANG sets it for the program
        QTranslator translator;
        ASSERT_TRUE(translator.load(QLocale(), "vornix", "_", ":/i18n")) << locale;
        QCoreApplication::installTranslator(&translator);
        PanelOnFakes p;
        p.h.create().eventLog().record(LogEvent::Kind::unexpectedDisconnect, "A", "");
        p.open();
        EXPECT_EQ(static_cast<QAbstractButton*>(p.find("globalSwitch"))->text(), label);
        EXPECT_TRUE(p.text("eventLabel").startsWith(pulled)) << p.text("eventLabel").toStdString();
        EXPECT_TRUE(p.h.notifier.posted.back().body.starts_with(notice));
        EXPECT_EQ(TrayApplication::title(true), title);
        QCoreApplication::removeTranslator(&translator);
    }
    QLocale::setDefault(QLocale::c());
    setTextTranslator(nullptr);
}

} // namespace
} // namespace vornix

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0); // also when the tests are only listed
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
