#include "ui/panel.h"

#include "ui/color_scheme.h"
#include "ui/presentation.h"
#include "ui/switch_toggle.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace vornix {

namespace {

QFont scaledFont(const QFont& base, qreal factor) {
    QFont font = base;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(font.pointSizeF() * factor);
    else
        font.setPixelSize(std::max(8, static_cast<int>(font.pixelSize() * factor)));
    return font;
}
QFont captionFont(const QFont& base) {
    return scaledFont(base, 0.85);
}
QFont caption2Font(const QFont& base) {
    return scaledFont(base, 0.77);
}

void setTextColor(QLabel* label, const QColor& color) {
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, color);
    label->setPalette(pal);
}

/// Every way a check box changes state ends here: the pointer, the keyboard and an assistive
/// tool's toggle action alike. The command runs only when the box differs from the model, and
/// the box then shows what the model publishes, whether or not the command took.
void bindCheckBox(QAbstractButton* box, std::function<bool()> published,
                  std::function<void(bool)> command) {
    QObject::connect(box, &QAbstractButton::toggled, box, [box, published, command](bool on) {
        if (on != published())
            command(on);
        const QSignalBlocker quiet(box);
        box->setChecked(published());
    });
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

class Dot : public QWidget {
public:
    Dot(QColor color, QWidget* parent) : QWidget(parent), color_(color) {
        setFixedSize(6, 6);
        setAccessibleName({});
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(color_);
        p.drawEllipse(rect());
    }

private:
    QColor color_;
};

/// A scroll area that is as tall as its content, up to a maximum.
class FittingScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;
    QSize sizeHint() const override {
        const int content = widget() ? widget()->sizeHint().height() : 0;
        return {QScrollArea::sizeHint().width(),
                std::min(content + 2 * frameWidth(), maximumHeight())};
    }
    // Never squeezed below contents that fit: a scroll bar for a pixel reads as a broken list.
    QSize minimumSizeHint() const override {
        const int hint = sizeHint().height();
        return {0, hint < maximumHeight() ? hint : 0};
    }
};

} // namespace

/// One volume: name, protocol badge, status line, and its watch switch.
class VolumeRow : public QWidget {
public:
    VolumeRow(const std::string& id, AppState& appState, QWidget* parent)
        : QWidget(parent), name_(new QLabel(this)), badge_(new QLabel(this)),
          status_(new QLabel(this)), watch_(new SwitchToggle({}, this)) {
        setObjectName(QStringLiteral("volumeRow"));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(0, 0, 0, 0);
        auto* column = new QVBoxLayout;
        column->setSpacing(2);
        auto* nameLine = new QHBoxLayout;
        nameLine->setSpacing(4);
        nameLine->addWidget(name_);
        nameLine->addWidget(badge_);
        nameLine->addStretch();
        column->addLayout(nameLine);
        column->addWidget(status_);
        row->addLayout(column, 1);
        row->addWidget(watch_, 0, Qt::AlignVCenter);

        name_->setTextFormat(Qt::PlainText);
        name_->setWordWrap(true);
        badge_->setTextFormat(Qt::PlainText);
        badge_->setObjectName(QStringLiteral("protocolBadge"));
        badge_->setFont(caption2Font(font()));
        badge_->setContentsMargins(4, 0, 4, 0);
        badge_->setAutoFillBackground(false);
        status_->setTextFormat(Qt::PlainText);
        status_->setObjectName(QStringLiteral("statusLabel"));
        status_->setFont(caption2Font(font()));
        watch_->setObjectName(QStringLiteral("watchSwitch"));

        const auto watched = [&appState, id] {
            const auto volume = appState.volumeMonitor().volume(id);
            return volume && volume->isWatched;
        };
        bindCheckBox(watch_, watched, [&appState, id](bool) { appState.toggleVolume(id); });
    }

    /// `pal` is the panel's: during a palette change the row's own is not yet the new one.
    void show(const WatchedVolume& volume, const QPalette& pal, bool keepingAwake) {
        const QString name = nameText(volume.name);
        name_->setText(name);
        const QString bus = busText(volume.connectionProtocol);
        badge_->setVisible(!bus.isEmpty());
        if (!bus.isEmpty()) {
            badge_->setText(bus);
            const QColor ground = drawnOn(*badge_, pal);
            QColor bg = tintColor(Tint::secondary, pal, ground);
            bg.setAlphaF(0.15f);
            const QColor fg = tintColor(Tint::secondary, pal, laidOver(bg, ground));
            badge_->setStyleSheet(QStringLiteral("QLabel { background-color: rgba(%1,%2,%3,%4);"
                                                 " border-radius: 4px; color: %5; }")
                                      .arg(bg.red())
                                      .arg(bg.green())
                                      .arg(bg.blue())
                                      .arg(bg.alphaF())
                                      .arg(fg.name()));
        }
        const StatusLabel label = statusLabel(volume, keepingAwake);
        status_->setText(label.text);
        setTextColor(status_, tintColor(label.tint, pal, drawnOn(*status_, pal)));
        const QString why = statusTooltip(volume);
        setToolTip(why);
        setAccessibleDescription(why);
        status_->setToolTip(why);
        status_->setAccessibleDescription(why);
        watch_->setChecked(volume.isWatched);
        watch_->setEnabled(volume.isCurrentlyMounted);
        watch_->setAccessibleName(name);
        setAccessibleName(name);
    }

    QWidget* watchSwitch() const { return watch_; }

private:
    QLabel* name_;
    QLabel* badge_;
    QLabel* status_;
    SwitchToggle* watch_;
};

Panel::Panel(AppState& appState, std::function<void()> showAbout, std::function<void()> quit,
             QWidget* parent)
    : QWidget(parent), appState_(appState), showAbout_(std::move(showAbout)),
      quit_(std::move(quit)) {
    setObjectName(QStringLiteral("panel"));
    setFixedWidth(panelWidth);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(panelInset, panelInset, panelInset, panelInset);
    layout->setSpacing(panelSpacing);
    // Top to bottom, as the keyboard walks it.
    buildMainSwitch(layout);
    layout->addWidget(divider(this));
    buildVolumeSection(layout);
    layout->addWidget(divider(this));
    buildSettings(layout);
    layout->addWidget(divider(this));
    buildActivity(layout);
    layout->addWidget(divider(this));
    buildActions(layout);

    auto changed = [this] { scheduleRefresh(); };
    subscriptions_.push_back(appState_.observeChanges(changed));
    subscriptions_.push_back(appState_.volumeMonitor().observeChanges(changed));
    subscriptions_.push_back(appState_.eventLog().observeChanges(changed));
    applyTextColours();
    refresh();
}

void Panel::buildMainSwitch(QVBoxLayout* layout) {
    globalSwitch_ = new SwitchToggle(tr("Keep drives awake"), this);
    globalSwitch_->setObjectName(QStringLiteral("globalSwitch"));
    bindCheckBox(
        globalSwitch_, [this] { return appState_.isActive.get(); },
        [this](bool) { appState_.toggleGlobalActive(); });
    layout->addWidget(globalSwitch_);
    sleepNote_ = new QLabel(this);
    sleepNote_->setObjectName(QStringLiteral("sleepNote"));
    sleepNote_->setWordWrap(true);
    sleepNote_->setFont(captionFont(font()));
    sleepNote_->setVisible(false);
    layout->addWidget(sleepNote_);
}

void Panel::buildVolumeSection(QVBoxLayout* layout) {
    volumeSection_ = new QWidget(this);
    volumeSection_->setObjectName(QStringLiteral("volumeSection"));
    volumeLayout_ = new QVBoxLayout(volumeSection_);
    volumeLayout_->setContentsMargins(0, 0, 0, 0);
    volumeLayout_->setSpacing(panelSpacing);
    noVolumesLabel_ = new QLabel(tr("No external drives detected"), volumeSection_);
    noVolumesLabel_->setObjectName(QStringLiteral("noVolumesLabel"));
    volumeLayout_->addWidget(noVolumesLabel_);
    layout->addWidget(volumeSection_);
}

void Panel::buildSettings(QVBoxLayout* layout) {
    auto* intervalRow = new QHBoxLayout;
    auto* intervalLabel = new QLabel(tr("Ping interval"), this);
    intervalRow->addWidget(intervalLabel);
    intervalRow->addStretch();
    intervalPicker_ = new QComboBox(this);
    intervalPicker_->setObjectName(QStringLiteral("intervalPicker"));
    intervalPicker_->setFixedWidth(90);
    intervalPicker_->setAccessibleName(tr("Ping interval"));
    intervalLabel->setBuddy(intervalPicker_);
    for (double option : keep_alive_interval::options)
        intervalPicker_->addItem(intervalText(option), option);
    // Any change of the entry, by pointer, keys or an assistive tool; refresh() sets it quietly.
    connect(intervalPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        const QVariant chosen = intervalPicker_->itemData(index);
        if (chosen.isValid() && chosen.toDouble() != appState_.keepAliveInterval.get())
            appState_.updateInterval(chosen.toDouble());
        showInterval();
    });
    intervalRow->addWidget(intervalPicker_);
    layout->addLayout(intervalRow);

    const auto addCheckBox = [&](QCheckBox*& box, const QString& text, const char* name,
                                 std::function<bool()> published,
                                 std::function<void(bool)> command) {
        box = new OutlinedCheckBox(text, this);
        box->setObjectName(QLatin1String(name));
        bindCheckBox(box, std::move(published), std::move(command));
        layout->addWidget(box);
    };
    addCheckBox(
        pauseOnBattery_, tr("Pause on battery"), "pauseOnBattery",
        [this] { return appState_.pauseOnBattery.get(); },
        [this](bool on) { appState_.setPauseOnBattery(on); });
    addCheckBox(
        troubleNotices_, tr("Notify about drive trouble"), "troubleNotices",
        [this] { return appState_.notifyAboutDriveTrouble.get(); },
        [this](bool on) { appState_.setNotifyAboutDriveTrouble(on); });
    addCheckBox(
        launchAtLogin_, tr("Launch at Login"), "launchAtLogin",
        [this] { return appState_.launchAtLoginEnabled.get(); },
        [this](bool on) { appState_.setLaunchAtLogin(on); });
}

void Panel::buildActivity(QVBoxLayout* layout) {
    auto* heading = new QLabel(tr("Recent activity"), this);
    heading->setObjectName(QStringLiteral("activityHeading"));
    heading->setFont(captionFont(font()));
    layout->addWidget(heading);

    activityArea_ = new FittingScrollArea(this);
    activityArea_->setObjectName(QStringLiteral("activityArea"));
    activityArea_->setMaximumHeight(maxActivityHeight);
    activityArea_->setWidgetResizable(true);
    activityArea_->setFrameShape(QFrame::NoFrame);
    activityArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    activityArea_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    activityArea_->setAccessibleName(tr("Recent activity"));
    activityList_ = new QWidget;
    activityList_->setObjectName(QStringLiteral("activityList"));
    auto* activityLayout = new QVBoxLayout(activityList_);
    activityLayout->setContentsMargins(0, 0, 0, 0);
    activityLayout->setSpacing(4);
    activityLayout->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    activityArea_->setWidget(activityList_);
    layout->addWidget(activityArea_);
}

void Panel::buildActions(QVBoxLayout* layout) {
    auto* actions = new QHBoxLayout;
    auto* about = new QPushButton(tr("About Vornix"), this);
    about->setObjectName(QStringLiteral("aboutButton"));
    connect(about, &QPushButton::clicked, this, [this] { showAbout_(); });
    auto* quitButton = new QPushButton(tr("Quit"), this);
    quitButton->setObjectName(QStringLiteral("quitButton"));
    connect(quitButton, &QPushButton::clicked, this, [this] {
        appState_.shutdown();
        quit_();
    });
    actions->addWidget(about);
    actions->addStretch();
    actions->addWidget(quitButton);
    layout->addLayout(actions);
}

Panel::~Panel() {
    if (pendingRefresh_)
        pendingRefresh_->cancel();
}

void Panel::scheduleRefresh() {
    // A closed panel is brought up to date when it is shown, not on every ping.
    if (!isVisible()) {
        staleWhileHidden_ = true;
        return;
    }
    if (pendingRefresh_)
        return;
    // The results of one tick come back one posted task at a time, within moments of one
    // another: they are drawn together, and the last of them is what shows.
    QPointer<Panel> self(this);
    pendingRefresh_ = appState_.mainQueue().postDelayed(coalescingSeconds, [self] {
        if (!self)
            return;
        if (self->isVisible()) {
            self->refresh();
        } else { // closed in the meantime
            self->pendingRefresh_.reset();
            self->staleWhileHidden_ = true;
        }
    });
}

void Panel::refresh() {
    if (pendingRefresh_)
        std::exchange(pendingRefresh_, nullptr)->cancel();
    ++refreshCount_;
    globalSwitch_->setChecked(appState_.isActive.get());
    showSleepNote();
    showInterval();
    pauseOnBattery_->setChecked(appState_.pauseOnBattery.get());
    troubleNotices_->setChecked(appState_.notifyAboutDriveTrouble.get());
    launchAtLogin_->setChecked(appState_.launchAtLoginEnabled.get());
    refreshVolumes();
    refreshActivity();
    fitHeight();
}

void Panel::showInterval() {
    // A stored interval the picker does not offer (a hand-edited 90) is shown as its own entry,
    // in order, for as long as it is the one in use.
    const QSignalBlocker quiet(intervalPicker_);
    const double interval = appState_.keepAliveInterval.get();
    const auto& offered = keep_alive_interval::options;
    for (int i = intervalPicker_->count() - 1; i >= 0; --i) {
        const double value = intervalPicker_->itemData(i).toDouble();
        if (value != interval && std::find(offered.begin(), offered.end(), value) == offered.end())
            intervalPicker_->removeItem(i);
    }
    int at = 0;
    while (at < intervalPicker_->count() && intervalPicker_->itemData(at).toDouble() < interval)
        ++at;
    if (at == intervalPicker_->count() || intervalPicker_->itemData(at).toDouble() != interval)
        intervalPicker_->insertItem(at, intervalText(interval), interval);
    intervalPicker_->setCurrentIndex(at);
}

void Panel::showSleepNote() {
    // Once the services have answered: while they are being asked nothing is known yet.
    const auto& state = appState_.sleepPrevention.get();
    sleepNote_->setVisible(state.has_value());
    if (!state)
        return;
    using A = InhibitionAssurance;
    const std::string_view holder =
        state->holders.empty() ? std::string_view() : serviceLabel(state->holders.front());
    const QString name = QCoreApplication::translate(
        "vornix::IdleInhibition",
        QByteArray(holder.data(), static_cast<qsizetype>(holder.size())).constData());
    switch (state->assurance) {
    case A::held:
        sleepNote_->setText(tr("Sleep prevented: %1").arg(name));
        break;
    case A::requested:
        sleepNote_->setText(tr("Sleep prevention requested: %1 (not confirmed)").arg(name));
        break;
    case A::partial:
        sleepNote_->setText(tr("The computer may still go to sleep: only logind keeps it awake, "
                               "not the desktop."));
        break;
    case A::none:
        sleepNote_->setText(tr("The computer may still go to sleep: nothing keeps it awake."));
        break;
    }
    const QString why = QString::fromStdString(describe(*state));
    sleepNote_->setToolTip(why);
    sleepNote_->setAccessibleDescription(why);
    const bool mayStillSleep = state->assurance <= A::partial;
    setTextColor(sleepNote_, tintColor(mayStillSleep ? toneTint(Tone::warning) : Tint::secondary,
                                       palette(), drawnOn(*sleepNote_, palette())));
}

void Panel::fitHeight() {
    // The width is fixed; the height follows the contents.
    layout()->activate();
    const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(panelWidth)
                                                     : layout()->totalSizeHint().height();
    setFixedHeight(height);
}

void Panel::refreshVolumes() {
    const auto& volumes = appState_.volumeMonitor().volumes.get();
    const bool keepingAwake = appState_.engine().isRunning();
    noVolumesLabel_->setVisible(volumes.empty());
    // Records are only ever appended, so rows are kept (and keep their focus) by id.
    for (const auto& volume : volumes) {
        auto it = rows_.find(volume.id);
        if (it == rows_.end()) {
            auto* row = new VolumeRow(volume.id, appState_, volumeSection_);
            volumeLayout_->addWidget(row);
            // At once, not on the next turn as layouts do, so that fitHeight() counts it.
            row->setVisible(true);
            it = rows_.emplace(volume.id, row).first;
            rowOrder_.push_back(volume.id);
        }
        it->second->show(volume, palette(), keepingAwake);
    }
    // Keyboard focus follows the panel top to bottom, rows included, though rows are made
    // after the controls below them.
    QWidget* previous = globalSwitch_;
    for (const auto& id : rowOrder_) {
        QWidget::setTabOrder(previous, rows_.at(id)->watchSwitch());
        previous = rows_.at(id)->watchSwitch();
    }
    QWidget::setTabOrder(previous, intervalPicker_);
}

void Panel::refreshActivity() {
    auto* layout = static_cast<QVBoxLayout*>(activityList_->layout());
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const auto& events = appState_.eventLog().events.get();
    const auto count = std::min<std::size_t>(events.size(), maxActivityRows);
    for (std::size_t i = 0; i < count; ++i) {
        const LogEvent& event = events[i];
        auto* row = new QWidget(activityList_);
        row->setObjectName(QStringLiteral("activityRow"));
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        h->setSpacing(6);
        h->setAlignment(Qt::AlignTop | Qt::AlignLeft);
        auto* dotBox = new QVBoxLayout;
        dotBox->setContentsMargins(0, 4, 0, 0);
        const Tint tint = toneTint(tone(event.kind));
        auto* dot = new Dot(tintColor(tint, palette(), drawnOn(*row, palette())), row);
        dot->setObjectName(QStringLiteral("kindDot"));
        dot->setProperty("tint", static_cast<int>(tint));
        dotBox->addWidget(dot);
        dotBox->addStretch();
        h->addLayout(dotBox);
        auto* column = new QVBoxLayout;
        column->setSpacing(0);
        auto* labelLine = new QLabel(eventLabelLine(event), row);
        labelLine->setObjectName(QStringLiteral("eventLabel"));
        labelLine->setTextFormat(Qt::PlainText);
        labelLine->setFont(captionFont(font()));
        auto* timeLine = new QLabel(eventTimeText(event), row);
        timeLine->setObjectName(QStringLiteral("eventTime"));
        timeLine->setFont(caption2Font(font()));
        setTextColor(timeLine,
                     tintColor(Tint::secondary, palette(), drawnOn(*timeLine, palette())));
        column->addWidget(labelLine);
        column->addWidget(timeLine);
        h->addLayout(column, 1);
        row->setAccessibleName(labelLine->text() + QStringLiteral(", ") + timeLine->text());
        layout->addWidget(row);
        row->setVisible(true); // counted by fitHeight() even while the panel is open
    }
    activityArea_->updateGeometry();
}

void Panel::showEvent(QShowEvent* event) {
    if (staleWhileHidden_) {
        staleWhileHidden_ = false;
        refresh();
    }
    // Sizes measured before the first show are the unpolished ones, a pixel or so off: enough
    // to squeeze the activity list into showing a scroll bar.
    fitHeight();
    QWidget::showEvent(event);
}

void Panel::applyTextColours() {
    for (auto* label : {noVolumesLabel_, findChild<QLabel*>(QStringLiteral("activityHeading"))})
        setTextColor(label, tintColor(Tint::secondary, palette(), drawnOn(*label, palette())));
}

void Panel::changeEvent(QEvent* event) {
    // The desktop switched between light and dark: every colour is worked out anew from it.
    if (event->type() == QEvent::PaletteChange) {
        applyTextColours();
        refresh();
    }
    QWidget::changeEvent(event);
}

void Panel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Q_EMIT dismissRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace vornix
