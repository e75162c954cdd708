#include "platform/qt/verification_code_panel.h"

#include "platform/qt/tray_icons.h"
#include "platform/qt/workspace_hints.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>

namespace velmora {
namespace {

constexpr int kStackSpacing = 18;
// The content is framed 20 inside the window and padded 34 (sides) / 30 (top, bottom) inside that
// frame: the frame applies on every side.
constexpr int kFrameInset = 20;
constexpr int kHorizontalInset = kFrameInset + 34;
constexpr int kVerticalInset = kFrameInset + 30;
constexpr int kIconSize = 72;
constexpr qreal kIconCornerRadius = 16;
constexpr int kTitleFontSize = 30;
constexpr int kMessageFontSize = 14;
constexpr int kMessageMaximumWidth = 360;
constexpr int kCodeFontSize = 44;
constexpr qreal kCodeLetterSpacing = 6;
constexpr int kCodeHorizontalPadding = 36;
constexpr int kCodeVerticalPadding = 16;
constexpr qreal kCodeCornerRadius = 14;
constexpr float kBackgroundOpacity = 0.98f;
constexpr auto kRaiseAgainDelay = std::chrono::milliseconds(100);

QFont sizedFont(int pixelSize, QFont::Weight weight) {
  QFont font = QGuiApplication::font();
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  return font;
}

bool hasTabularDigits(const QFont& font) {
  const QFontMetricsF metrics(font);
  const qreal zeroAdvance = metrics.horizontalAdvance(QLatin1Char('0'));
  for (char digit = '1'; digit <= '9'; ++digit) {
    if (metrics.horizontalAdvance(QLatin1Char(digit)) != zeroAdvance) {
      return false;
    }
  }
  return true;
}

// The code's digits must not shift as they change: the desktop's font when its digits all have one
// width (most UI fonts), else its fixed-width font.
QFont makeCodeFont() {
  QFont font = sizedFont(kCodeFontSize, QFont::Normal);
  if (!hasTabularDigits(font)) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(kCodeFontSize);
  }
  font.setLetterSpacing(QFont::AbsoluteSpacing, kCodeLetterSpacing);
  return font;
}

QPixmap roundedIcon(qreal devicePixelRatio) {
  const QPixmap source = applicationIconPixmap(kIconSize, devicePixelRatio);
  QPixmap rounded(source.size());
  rounded.fill(Qt::transparent);
  rounded.setDevicePixelRatio(devicePixelRatio);
  QPainter painter(&rounded);
  painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
  QPainterPath clip;
  clip.addRoundedRect(QRectF(0, 0, kIconSize, kIconSize), kIconCornerRadius, kIconCornerRadius);
  painter.setClipPath(clip);
  painter.drawPixmap(QRectF(0, 0, kIconSize, kIconSize), source, QRectF(source.rect()));
  return rounded;
}

QLabel* centredLabel(QWidget* parent, const QFont& font) {
  auto* label = new QLabel(parent);
  label->setFont(font);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  return label;
}

// Wayland gives ordinary clients no say over stacking or placement: there the panel is a normal
// window; on X11 it floats frameless above the others.
Qt::WindowFlags panelWindowFlags() {
  if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
    return Qt::Window;
  }
  return Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
}

}  // namespace

// The spaced code on a faint rounded plate, as wide as the panel's content.
class VerificationCodePanel::CodeBox final : public QWidget {
 public:
  explicit CodeBox(QWidget* parent) : QWidget(parent), font_(makeCodeFont()) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  }

  void setText(const QString& text) {
    text_ = text;
    updateGeometry();
    update();
  }
  const QString& text() const { return text_; }

  QSize sizeHint() const override {
    const QFontMetrics metrics(font_);
    return {metrics.horizontalAdvance(text_) + 2 * kCodeHorizontalPadding,
            metrics.height() + 2 * kCodeVerticalPadding};
  }
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);  // a 1-pixel line on pixel centres
    painter.setPen(QPen(QColor(255, 255, 255, qRound(0.10 * 255)), 1));
    painter.setBrush(QColor(255, 255, 255, qRound(0.04 * 255)));
    painter.drawRoundedRect(plate, kCodeCornerRadius, kCodeCornerRadius);
    painter.setFont(font_);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(rect(), Qt::AlignCenter, text_);
  }

 private:
  QFont font_;
  QString text_;
};

VerificationCodePanel::VerificationCodePanel()
    : QWidget(nullptr, panelWindowFlags()),
      icon_(new QLabel(this)),
      title_(centredLabel(this, sizedFont(kTitleFontSize, QFont::DemiBold))),
      message_(centredLabel(this, sizedFont(kMessageFontSize, QFont::Normal))),
      codeBox_(new CodeBox(this)) {
  setFixedSize(kWidth, kHeight);
  setWindowTitle(QStringLiteral("Velmora"));

  icon_->setFixedSize(kIconSize, kIconSize);
  auto* shadow = new QGraphicsDropShadowEffect(icon_);
  shadow->setColor(QColor(0, 0, 0, qRound(0.18 * 255)));
  shadow->setBlurRadius(12);
  shadow->setOffset(0, 6);
  icon_->setGraphicsEffect(shadow);

  message_->setMaximumWidth(kMessageMaximumWidth);
  QPalette secondary = message_->palette();
  QColor secondaryText = secondary.color(QPalette::WindowText);
  secondaryText.setAlphaF(0.5f);
  secondary.setColor(QPalette::WindowText, secondaryText);
  message_->setPalette(secondary);

  auto* stack = new QVBoxLayout(this);
  stack->setContentsMargins(kHorizontalInset, kVerticalInset, kHorizontalInset, kVerticalInset);
  stack->setSpacing(kStackSpacing);
  stack->addStretch();
  stack->addWidget(icon_, 0, Qt::AlignHCenter);
  stack->addWidget(title_);
  stack->addWidget(message_);
  stack->addWidget(codeBox_);
  stack->addStretch();

  // The window has no close button; the close shortcut hides it like the button would.
  auto* close = new QShortcut(QKeySequence::Close, this);
  connect(close, &QShortcut::activated, this, &QWidget::hide);
}

void VerificationCodePanel::setContent(const VerificationCodePanelContent& content) {
  icon_->setPixmap(roundedIcon(devicePixelRatioF()));
  title_->setText(QString::fromStdString(content.title));
  message_->setText(QString::fromStdString(content.message));
  codeBox_->setText(QString::fromStdString(content.spacedCode));
}

void VerificationCodePanel::present() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - kWidth) / 2, area.top() + (area.height() - kHeight) / 2);
  }
  if (!isVisible()) {
    // Window managers read these only from a window that is not mapped yet.
    showOnAllWorkspaces(*this);
  }
  show();
  raise();
  activateWindow();
  QTimer::singleShot(kRaiseAgainDelay, this, [this] {
    if (isVisible()) {
      raise();
      activateWindow();
    }
  });
}

QRect VerificationCodePanel::codeBoxGlobalGeometry() const {
  return {codeBox_->mapToGlobal(QPoint(0, 0)), codeBox_->size()};
}


QString VerificationCodePanel::shownCode() const { return codeBox_->text(); }

void VerificationCodePanel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  // The window is opaque: the slightly transparent gradient is laid over the window colour.
  painter.fillRect(rect(), palette().color(QPalette::Window));
  QColor top = palette().color(QPalette::Base);
  QColor bottom = palette().color(QPalette::Window);
  top.setAlphaF(kBackgroundOpacity);
  bottom.setAlphaF(kBackgroundOpacity);
  QLinearGradient background(0, 0, 0, height());
  background.setColorAt(0, top);
  background.setColorAt(1, bottom);
  painter.fillRect(rect(), background);
}

}  // namespace velmora
