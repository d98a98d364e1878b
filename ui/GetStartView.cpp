#include "GetStartView.h"

#include "Button.h"
#include "ViewHelpers.h"

#include <QFrame>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPropertyAnimation>
#include <QVBoxLayout>

namespace {
const QColor kGrey = QColor::fromRgbF(0.9583078f, 0.9583078f, 0.9583078f);
const QColor kHeader(210, 227, 255);
const QColor kSystemBlue(0, 122, 255);

// Font and colour set directly (not by a style sheet), so sizes are known at once.
void styleText(QLabel* label, int pixelSize, bool bold, const QColor& color) {
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

void fillBackground(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, color);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}
}  // namespace

GetStartView::GetStartView(QWidget* parent)
    : QWidget(parent), m_header(new QFrame(this)), m_btnGetStart(new Button(this)) {
    setObjectName(QStringLiteral("viewGetStart"));
    setAccessibleName(tr("Welcome"));
    fillBackground(this, kGrey);

    m_header->setObjectName(QStringLiteral("headerViewGetStart"));
    m_header->setFixedHeight(56);
    fillBackground(m_header, kHeader);
    auto* logo = new QLabel(m_header);
    logo->setPixmap(iconPixmap(QStringLiteral(":/icons/vorpane.svg"), 30, this));
    logo->setAccessibleName(tr("Vorpane"));
    auto* name = new QLabel(tr("Vorpane"), m_header);
    styleText(name, 18, true, QColor(0x1f, 0x2a, 0x3d));
    name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    auto* headerLayout = new QHBoxLayout(m_header);
    headerLayout->setContentsMargins(20, 0, 20, 0);
    headerLayout->setSpacing(10);
    headerLayout->addWidget(logo);
    headerLayout->addWidget(name);
    headerLayout->addStretch(1);

    auto* picture = new QLabel(this);
    picture->setPixmap(iconPixmap(QStringLiteral(":/icons/vorpane.svg"), 96, this));
    picture->setAlignment(Qt::AlignCenter);
    picture->setAccessibleName(tr("Vorpane"));
    auto* title = new QLabel(tr("Remove photo backgrounds, in batches"), this);
    title->setAlignment(Qt::AlignCenter);
    styleText(title, 24, true, QColor(0x1f, 0x2a, 0x3d));
    auto* text = new QLabel(
        tr("Queue PNG and JPEG images, choose a transparent or colored background and the "
           "output format, then press START. Each result is saved in your output folder."),
        this);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    text->setFixedWidth(520);
    styleText(text, 14, false, QColor(0x4a, 0x55, 0x68));
    text->setMinimumHeight(text->heightForWidth(520));

    m_btnGetStart->setObjectName(QStringLiteral("btnGetStart"));
    m_btnGetStart->setMinimumSize(220, 48);
    QFont font = m_btnGetStart->font();
    font.setBold(true);
    font.setPixelSize(20);
    applyButtonStyle(m_btnGetStart, tr("Get Started"), font, Qt::white, kSystemBlue, false, true);
    m_btnGetStart->setAccessibleName(tr("Get Started"));
    m_btnGetStart->setDefault(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_header);
    layout->addStretch(2);
    layout->addWidget(picture, 0, Qt::AlignHCenter);
    layout->addSpacing(20);
    layout->addWidget(title, 0, Qt::AlignHCenter);
    layout->addSpacing(10);
    layout->addWidget(text, 0, Qt::AlignHCenter);
    layout->addSpacing(32);
    layout->addWidget(m_btnGetStart, 0, Qt::AlignHCenter);
    layout->addStretch(3);

    applyShadow(this, m_btnGetStart, Qt::black, 1.0f, QPointF(0, 2), 2);
    applyShadow(this, m_header, Qt::black, 1.0f, QPointF(0, 5), 6);
}

qreal GetStartView::opacity() const {
    return m_effect ? m_effect->opacity() : 1.0;
}

void GetStartView::fadeIn() {
    fade(0.0, 1.0, nullptr);
}

void GetStartView::fadeOut(std::function<void()> done) {
    fade(opacity(), 0.0, std::move(done));
}

void GetStartView::fade(qreal from, qreal to, std::function<void()> done) {
    if (m_animation) m_animation->stop();
    if (!m_effect) {
        // Effects do not nest: the shadows inside rest while the whole view fades.
        for (QWidget* child : findChildren<QWidget*>())
            if (QGraphicsEffect* shadow = child->graphicsEffect()) shadow->setEnabled(false);
        m_effect = new QGraphicsOpacityEffect(this);
        setGraphicsEffect(m_effect);
    }
    m_effect->setOpacity(from);
    delete m_animation;
    m_animation = new QPropertyAnimation(m_effect, "opacity", this);
    m_animation->setDuration(kFadeMs);
    m_animation->setStartValue(from);
    m_animation->setEndValue(to);
    connect(m_animation, &QPropertyAnimation::finished, this, [this, to, done = std::move(done)] {
        if (to >= 1.0) {
            // Fully shown: draw without the effect from now on, with the shadows back.
            setGraphicsEffect(nullptr);
            m_effect = nullptr;
            for (QWidget* child : findChildren<QWidget*>())
                if (QGraphicsEffect* shadow = child->graphicsEffect()) shadow->setEnabled(true);
        }
        if (done) done();
    });
    m_animation->start();
}
