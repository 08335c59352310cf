#include "ui/menu_bar_view.h"
#include "ui/presentation.h"
#include "ui/switch_toggle.h"

#include "app_harness.h"

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

#include <cstdlib>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using testing::AppHarness;

/// The panel over an AppState on fakes; Quit and About only record that they were asked.
struct Panel {
    AppHarness h;
    int quits = 0, abouts = 0;
    bool assertionHeldAtQuit = true;
    std::unique_ptr<MenuBarView> view;

    MenuBarView& open() {
        auto& app = h.app ? *h.app : h.create();
        view = std::make_unique<MenuBarView>(
            app, [this] { ++abouts; },
            [this] {
                ++quits;
                assertionHeldAtQuit = h.app->powerAssertionManager().isAsserted();
            });
        view->show();
        return *view;
    }
    template <class T> T* find(const char* name) { return view->findChild<T*>(name); }
    std::vector<QWidget*> rows(const char* name) {
        std::vector<QWidget*> out;
        for (auto* w : view->findChildren<QWidget*>(name))
            if (!w->isHidden())
                out.push_back(w);
        return out;
    }
    void settle() {
        QCoreApplication::processEvents();
        view->refresh();
        QCoreApplication::processEvents(); // rows added to a shown panel show on the next turn
    }
};

/// What a person sees of a layout item: "switch:Keep drives awake", "divider", "row(...)".
std::string describe(QLayoutItem* item) {
    if (auto* row = item->layout()) {
        std::string out = "row(";
        for (int i = 0; i < row->count(); ++i)
            out += describe(row->itemAt(i)) + ",";
        return out + ")";
    }
    QWidget* w = item->widget();
    if (!w)
        return "space";
    const std::string text = w->property("text").toString().toStdString();
    if (qobject_cast<QScrollArea*>(w))
        return "scroll";
    if (auto* f = qobject_cast<QFrame*>(w); f && f->frameShape() == QFrame::HLine)
        return "divider";
    if (text.empty())
        return w->objectName().toStdString();
    return (qobject_cast<SwitchToggle*>(w)  ? "switch:"
            : qobject_cast<QCheckBox*>(w)   ? "checkbox:"
            : qobject_cast<QPushButton*>(w) ? "button:"
                                            : "text:") +
           text;
}

TEST(PanelLayout, ElevenChildrenInOrderWithTheirTextsAndConstants) {
    Panel p;
    auto& view = p.open();
    std::vector<std::string> outline;
    for (int i = 0; i < view.layout()->count(); ++i)
        outline.push_back(describe(view.layout()->itemAt(i)));
    EXPECT_EQ(outline, (std::vector<std::string>{
                           "switch:Keep drives awake", "divider", "volumeSection", "divider",
                           "row(text:Ping interval,space,intervalPicker,)",
                           "checkbox:Launch at Login", "divider", "text:Recent activity", "scroll",
                           "divider", "row(button:About Vornix,space,button:Quit,)"}));
    EXPECT_EQ(view.width(), 320);
    EXPECT_EQ(view.layout()->spacing(), 10);
    EXPECT_EQ(view.layout()->contentsMargins(), QMargins(12, 12, 12, 12));
    auto* picker = p.find<QComboBox>("intervalPicker");
    EXPECT_EQ(picker->width(), 90);
    QStringList entries;
    for (int i = 0; i < picker->count(); ++i)
        entries << picker->itemText(i);
    EXPECT_EQ(entries, (QStringList{"30s", "45s", "60s", "120s"}));
    EXPECT_LE(p.find<QScrollArea>("activityArea")->maximumHeight(), 160);
}

TEST(PanelVolumes, EmptyTextGivesWayToRowsAndUnmountedRowsKeepTheirFlag) {
    Panel p;
    p.open();
    auto* empty = p.find<QLabel>("noVolumesLabel");
    EXPECT_FALSE(empty->isHidden());
    EXPECT_EQ(empty->text(), "No external drives detected");

    p.h.mountLater("UUID-A", "Alpha");
    p.settle();
    EXPECT_TRUE(empty->isHidden());
    ASSERT_EQ(p.rows("volumeRow").size(), 1u);
    auto* watch = p.rows("volumeRow")[0]->findChild<SwitchToggle*>("watchSwitch");
    EXPECT_TRUE(watch->isEnabled());
    EXPECT_TRUE(watch->isChecked());

    // Switched off, then gone: the row stays, dimmed, still showing "off".
    QTest::mouseClick(watch, Qt::LeftButton);
    p.settle();
    EXPECT_FALSE(watch->isChecked());
    p.h.volumeSystem.remove(AppHarness::mountPathFor("Alpha"), /*ejected=*/true);
    p.settle();
    ASSERT_EQ(p.rows("volumeRow").size(), 1u);
    EXPECT_FALSE(watch->isEnabled());
    EXPECT_FALSE(watch->isChecked());
    EXPECT_EQ(p.rows("volumeRow")[0]->findChild<QLabel*>("statusLabel")->text(), "Disconnected");
}

TEST(PanelLayout, RowsArrivingWhileItIsOpenCanBeSeenAtOnce) {
    // Only the panel's own refresh runs here (no extra refresh() as settle() does): a row must
    // not wait for the panel to be opened again to get its room.
    Panel p;
    p.open();
    QCoreApplication::processEvents();
    p.h.mountLater("UUID-A", "Alpha");
    p.h.app->eventLog().record(Kind::sleepPreventionStarted, std::nullopt, "");
    for (int turn = 0; turn < 3; ++turn)
        QCoreApplication::processEvents();
    for (const char* name : {"volumeRow", "activityRow", "quitButton"}) {
        auto* widget = p.find<QWidget>(name);
        ASSERT_NE(widget, nullptr) << name;
        EXPECT_FALSE(widget->visibleRegion().isEmpty()) << name << " is cut off";
    }
}

TEST(PanelLayout, AClosedPanelCatchesUpWhenShown) {
    Panel p;
    auto& view = p.open();
    view.hide();
    p.h.mountLater("UUID-A", "Alpha");
    QCoreApplication::processEvents();
    view.show();
    QCoreApplication::processEvents();
    ASSERT_EQ(p.rows("volumeRow").size(), 1u);
    EXPECT_EQ(p.rows("activityRow").size(), 1u); // its "Mounted" event
}

TEST(PanelVolumes, EachFlipOfAWatchSwitchCallsToggleOnce) {
    Panel p;
    p.h.presentAtLaunch("UUID-A", "Alpha");
    p.h.presentAtLaunch("UUID-B", "Beta");
    p.open();
    auto rows = p.rows("volumeRow");
    ASSERT_EQ(rows.size(), 2u);
    const int writes = p.h.settings.writes;
    QTest::mouseClick(rows[1]->findChild<SwitchToggle*>("watchSwitch"), Qt::LeftButton);
    p.settle();
    EXPECT_EQ(p.h.settings.writes, writes + 1);
    EXPECT_TRUE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-B")->isWatched);
    // Works with the global switch off, and the badge shows the protocol verbatim.
    EXPECT_FALSE(p.h.app->isActive.get());
    EXPECT_EQ(rows[0]->findChild<QLabel*>("protocolBadge")->text(), "USB");
}

TEST(PanelVolumes, StatusLabelTable) {
    struct Case {
        VolumeStatus status;
        bool mounted;
        const char* text;
        Tint tint;
    };
    const std::vector<Case> cases{
        {VolumeStatus::active, true, "Active", Tint::green},
        {VolumeStatus::active, false, "Active", Tint::green},
        {VolumeStatus::idle, true, "Idle", Tint::secondary},
        {VolumeStatus::idle, false, "Disconnected", Tint::secondary},
        {VolumeStatus::stalled, false, "Slow to respond", Tint::orange},
        {VolumeStatus::readOnly, true, "Read-only \u2014 can't ping", Tint::red},
        {VolumeStatus::full, false, "Nearly full \u2014 paused", Tint::red},
    };
    for (const auto& c : cases) {
        WatchedVolume v{
            .id = "X", .name = "X", .isCurrentlyMounted = c.mounted, .status = c.status};
        EXPECT_EQ(statusLabel(v), (StatusLabel{QString::fromUtf8(c.text), c.tint})) << c.text;
    }
}

TEST(PanelInterval, PickerCallsUpdateIntervalAndShowsOnlyExactMatches) {
    Panel p;
    p.h.settings.raw["keepAliveInterval"] = 90.0;
    p.open();
    auto* picker = p.find<QComboBox>("intervalPicker");
    EXPECT_EQ(picker->currentIndex(), -1); // 90 is none of the choices

    picker->setCurrentIndex(3);
    emit picker->activated(3);
    p.settle();
    EXPECT_EQ(p.h.app->keepAliveInterval.get(), 120.0);
    EXPECT_EQ(std::get<double>(p.h.settings.raw.at("keepAliveInterval")), 120.0);
    EXPECT_EQ(picker->currentText(), "120s");
    EXPECT_EQ(intervalText(45.9), "45s");
}

TEST(PanelActivity, ShowsTheTwentyNewestWithDotsAndLabelLines) {
    Panel p;
    auto& app = p.h.create();
    for (int i = 0; i < 25; ++i)
        app.eventLog().record(Kind::pingSucceeded, "Old" + std::to_string(i), "");
    app.eventLog().record(Kind::unexpectedDisconnect, "Backup", "");
    app.eventLog().record(Kind::sleepPreventionStarted, std::nullopt, "");
    p.open();
    const auto rows = p.rows("activityRow");
    ASSERT_EQ(rows.size(), 20u);
    EXPECT_EQ(rows[0]->findChild<QLabel*>("eventLabel")->text(), "Sleep prevention started");
    EXPECT_EQ(rows[1]->findChild<QLabel*>("eventLabel")->text(),
              QString::fromUtf8("Unexpected disconnect \u2014 Backup"));
    EXPECT_EQ(rows[19]->findChild<QLabel*>("eventLabel")->text(),
              QString::fromUtf8("Keep-alive ping ok \u2014 Old7"));
    EXPECT_EQ(rows[1]->findChild<QWidget*>("kindDot")->property("tint").toInt(),
              static_cast<int>(Tint::red));
    EXPECT_EQ(rows[0]->findChild<QLabel*>("eventTime")->text(),
              rows[1]->findChild<QLabel*>("eventTime")->text()); // same minute, same text
}

TEST(PanelActivity, DotColoursByKind) {
    const std::vector<std::pair<Kind, Tint>> cases{{Kind::mounted, Tint::green},
                                                   {Kind::unmountedByUser, Tint::green},
                                                   {Kind::unexpectedDisconnect, Tint::red},
                                                   {Kind::pingSucceeded, Tint::green},
                                                   {Kind::pingStalled, Tint::orange},
                                                   {Kind::pingFailed, Tint::red},
                                                   {Kind::volumeReadOnly, Tint::orange},
                                                   {Kind::volumeFull, Tint::orange},
                                                   {Kind::sleepPreventionStarted, Tint::green},
                                                   {Kind::sleepPreventionStopped, Tint::green}};
    for (const auto& [kind, tint] : cases)
        EXPECT_EQ(dotTint(kind), tint) << label(kind);
}

TEST(PanelCommands, GlobalSwitchShowsThePublishedStateAndQuitShutsDownFirst) {
    Panel p;
    p.open();
    auto* global = p.find<SwitchToggle>("globalSwitch");
    QTest::mouseClick(global, Qt::LeftButton);
    p.settle();
    EXPECT_TRUE(p.h.app->isActive.get());
    EXPECT_TRUE(global->isChecked());
    EXPECT_TRUE(p.h.app->powerAssertionManager().isAsserted());

    QTest::mouseClick(p.find<QPushButton>("quitButton"), Qt::LeftButton);
    EXPECT_EQ(p.quits, 1);
    EXPECT_FALSE(p.assertionHeldAtQuit);
    EXPECT_FALSE(p.h.app->vornix().isRunning());
}

TEST(PanelCommands, DrivenByKeyboardAlone) {
    Panel p;
    p.h.presentAtLaunch("UUID-A", "Alpha");
    auto& view = p.open();
    QSignalSpy dismissed(&view, &MenuBarView::dismissRequested);
    auto* global = p.find<SwitchToggle>("globalSwitch");
    global->setFocus();
    QTest::keyClick(global, Qt::Key_Space);
    p.settle();
    EXPECT_TRUE(p.h.app->isActive.get());

    // Tab reaches the volume's watch switch next, and Space flips it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    auto* watch = p.rows("volumeRow").at(0)->findChild<SwitchToggle*>("watchSwitch");
    ASSERT_EQ(QApplication::focusWidget(), watch);
    QTest::keyClick(watch, Qt::Key_Space);
    p.settle();
    EXPECT_FALSE(p.h.app->volumeMonitor().volume("UUID-A")->isWatched);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_EQ(dismissed.count(), 1);
}

TEST(PanelCommands, LaunchAtLoginRefusalLeavesTheBoxAsItWas) {
    Panel p;
    p.h.loginItem.refusal = "Read-only file system";
    p.open();
    auto* box = p.find<QCheckBox>("launchAtLogin");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); // on the box

    p.settle();
    EXPECT_FALSE(box->isChecked());
    ASSERT_FALSE(p.h.app->eventLog().events.get().empty());
    EXPECT_EQ(p.h.app->eventLog().events.get().front().detail, "Login item: Read-only file system");
}

TEST(PanelActivity, TimeOfDayHasNoDateAndNoSeconds) {
    using namespace std::chrono;
    const auto minute = floor<minutes>(system_clock::now()) - hours(30);
    LogEvent early{.timestamp = minute + seconds(1)}, late{.timestamp = minute + seconds(59)},
        next{.timestamp = minute + seconds(61)};
    EXPECT_EQ(eventTimeText(early), eventTimeText(late));
    EXPECT_NE(eventTimeText(late), eventTimeText(next));
    EXPECT_FALSE(eventTimeText(early).contains(QString::number(QDate::currentDate().year())));
}

/// Marks every text it is asked for, to show which texts go through translation.
class MarkingTranslator : public QTranslator {
public:
    QString translate(const char*, const char* source, const char*, int) const override {
        return QStringLiteral("<") + QString::fromUtf8(source) + QStringLiteral(">");
    }
    bool isEmpty() const override { return false; }
};

TEST(PanelTexts, FixedTextsAreLookedUpByThemselvesAndSystemNamesAreNot) {
    MarkingTranslator translator;
    QCoreApplication::installTranslator(&translator);
    Panel p;
    p.h.presentAtLaunch("UUID-A", "Mounted"); // a volume named like a fixed text
    p.open();
    QCoreApplication::removeTranslator(&translator);

    EXPECT_EQ(p.find<SwitchToggle>("globalSwitch")->text(), "<Keep drives awake>");
    EXPECT_EQ(p.find<QPushButton>("quitButton")->text(), "<Quit>");
    const auto row = p.rows("volumeRow").at(0);
    EXPECT_EQ(row->findChild<QLabel*>("statusLabel")->text(), "<Idle>");
    EXPECT_EQ(row->findChild<QLabel*>("protocolBadge")->text(), "USB");
    QStringList names;
    for (auto* label : row->findChildren<QLabel*>())
        names << label->text();
    EXPECT_TRUE(names.contains("Mounted"));
    EXPECT_EQ(p.rows("activityRow").at(0)->findChild<QLabel*>("eventLabel")->text(),
              QString::fromUtf8("<Mounted> \u2014 Mounted"));
}

} // namespace
} // namespace vornix

int main(int argc, char** argv) {
    // Widgets are drawn off screen: no display is needed, also when tests are listed.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
