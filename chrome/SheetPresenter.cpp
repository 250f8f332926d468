#include "chrome/SheetPresenter.h"

#include "chrome/Geometry.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRegion>
#include <QVariantAnimation>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace {

bool s_animationsEnabled = true;
constexpr int sheetAnimationMs = 180;

QString plainText(QString text) {
    return text.remove(u'&');
}

} // namespace

void SheetPresenter::setAnimationsEnabled(bool enabled) {
    s_animationsEnabled = enabled;
}

SheetPresenter::SheetPresenter(QWidget* window, FrameFor frameFor)
    : QObject(window)
    , m_window(window)
    , m_frameFor(std::move(frameFor)) {}

SheetPresenter::~SheetPresenter() {
    if (m_animation)
        m_animation->stop();
}

void SheetPresenter::begin(QWidget* sheet) {
    if (!sheet)
        return;
    if (m_sheet) {
        if (sheet != m_sheet && !m_pending.contains(sheet))
            m_pending.append(sheet);
        return;
    }
    m_sheet = sheet;
    const bool wasResized = sheet->testAttribute(Qt::WA_Resized);
    sheet->setParent(m_window, Qt::Dialog | Qt::FramelessWindowHint);
    sheet->setWindowModality(Qt::WindowModal);
    if (!wasResized)
        sheet->adjustSize();
    sheet->installEventFilter(this);
    if (auto* dialog = qobject_cast<QDialog*>(sheet)) {
        m_sheetFinished =
            connect(dialog, &QDialog::finished, this, [this, dialog] { end(dialog); });
    }
    connect(sheet, &QObject::destroyed, this, [this] {
        // A sheet deleted while attached: the next one may come out.
        if (!m_sheet)
            finish(nullptr);
    });
    position(s_animationsEnabled);
    sheet->show();
    sheet->raise();
    sheet->activateWindow();
    if (!sheet->focusWidget()) {
        // The first control that takes Tab focus gets the keyboard.
        QWidget* w = sheet->nextInFocusChain();
        while (w && w != sheet &&
               !(w->isEnabled() && w->isVisibleTo(sheet) && (w->focusPolicy() & Qt::TabFocus)))
            w = w->nextInFocusChain();
        if (w && w != sheet)
            w->setFocus(Qt::TabFocusReason);
    }
}

void SheetPresenter::end(QWidget* sheet) {
    if (!sheet)
        return;
    if (sheet != m_sheet) {
        m_pending.removeAll(sheet);
        return;
    }
    finish(sheet);
}

void SheetPresenter::reposition() {
    position(false);
}

void SheetPresenter::stopAnimation() {
    if (!m_animation)
        return;
    m_animation->stop();
    delete m_animation;
}

void SheetPresenter::position(bool animate) {
    QWidget* sheet = m_sheet;
    if (!sheet)
        return;
    const QRect local = PXGeometry::toLocalPixels(m_frameFor(sheet), m_window->height());
    const QPoint target = m_window->mapToGlobal(local.topLeft());
    if (m_animation) {
        stopAnimation();
        sheet->clearMask();
    }
    if (!animate) {
        sheet->move(target);
        return;
    }
    // The sheet slides down out of the bar's bottom edge: it starts above its
    // place, masked to the part that has come out so far.
    const int h = sheet->height();
    const int w = sheet->width();
    auto* anim = new QVariantAnimation(this);
    anim->setDuration(sheetAnimationMs);
    anim->setStartValue(0.0);
    anim->setEndValue(1.0);
    anim->setEasingCurve(QEasingCurve::OutCubic);
    const auto step = [sheet = QPointer<QWidget>(sheet), target, w, h](const QVariant& v) {
        if (!sheet)
            return;
        const int hidden = static_cast<int>(std::lround(h * (1.0 - v.toDouble())));
        sheet->move(target.x(), target.y() - hidden);
        sheet->setMask(QRegion(0, hidden, w, std::max(1, h - hidden)));
    };
    connect(anim, &QVariantAnimation::valueChanged, sheet, step);
    connect(anim, &QVariantAnimation::finished, sheet, [sheet, target] {
        sheet->clearMask();
        sheet->move(target);
    });
    m_animation = anim;
    step(0.0);
    anim->start(QAbstractAnimation::DeleteWhenStopped);
}

void SheetPresenter::pressKey(QWidget* sheet, QKeyEvent* event) {
    event->ignore();
    // A QDialog answers Return and Escape itself.
    if (qobject_cast<QDialog*>(sheet))
        return;
    const QList<QPushButton*> buttons = sheet->findChildren<QPushButton*>();
    const auto usable = [](const QPushButton* b) { return b->isVisible() && b->isEnabled(); };
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QPushButton* chosen = nullptr;
        for (QPushButton* b : buttons) {
            if (usable(b) && b->isDefault())
                chosen = b;
        }
        if (!chosen) {
            if (auto* focused = qobject_cast<QPushButton*>(sheet->focusWidget());
                focused && usable(focused) && focused->autoDefault())
                chosen = focused;
        }
        if (chosen) {
            chosen->click();
            event->accept();
        }
    } else if (event->key() == Qt::Key_Escape) {
        QAbstractButton* cancel = nullptr;
        for (QDialogButtonBox* box : sheet->findChildren<QDialogButtonBox*>()) {
            for (QAbstractButton* b : box->buttons()) {
                if (box->buttonRole(b) == QDialogButtonBox::RejectRole && b->isEnabled())
                    cancel = b;
            }
        }
        if (!cancel) {
            const QString cancelText = QCoreApplication::translate("PXAppStoreWindow", "Cancel");
            for (QPushButton* b : buttons) {
                if (usable(b) && plainText(b->text()) == cancelText)
                    cancel = b;
            }
        }
        if (cancel) {
            cancel->click();
            event->accept();
        }
    }
}

bool SheetPresenter::eventFilter(QObject* watched, QEvent* event) {
    if (!m_sheet || watched != m_sheet)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::KeyPress:
        pressKey(m_sheet, static_cast<QKeyEvent*>(event));
        return event->isAccepted();
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        Q_EMIT focusChanged();
        break;
    case QEvent::Hide:
        // Closed by its own means: the window lets go of it too.
        if (!event->spontaneous())
            finish(m_sheet);
        break;
    default:
        break;
    }
    return false;
}

void SheetPresenter::finish(QWidget* sheet) {
    if (sheet) {
        if (sheet != m_sheet)
            return;
        m_sheet = nullptr;
        stopAnimation();
        QObject::disconnect(m_sheetFinished);
        sheet->removeEventFilter(this);
        sheet->disconnect(this);
        sheet->clearMask();
        sheet->hide();
        sheet->setWindowModality(Qt::NonModal);
        Q_EMIT ended(sheet);
    }
    while (!m_sheet && !m_pending.isEmpty()) {
        QPointer<QWidget> next = m_pending.takeFirst();
        if (next)
            begin(next);
    }
}
