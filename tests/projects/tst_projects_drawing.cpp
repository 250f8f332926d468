#include "lists/LiveListTableModel.h"
#include "projects/ProjectArrayController.h"
#include "projects/ProjectsTableCellView.h"
#include "services/Readable.h"
#include "store/CouchModel.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QTableView>
#include <QTest>

namespace {

// The colour of `area` that stands out most from `background`: the core of
// the glyphs drawn there (their edges are blended with the background).
QColor inkOf(const QImage& image, const QRect& area, const QColor& background) {
    QColor ink = background;
    double best = 1.0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor pixel = image.pixelColor(x, y);
            const double ratio = trevok::contrastRatio(pixel, background);
            if (ratio > best) {
                best = ratio;
                ink = pixel;
            }
        }
    }
    return ink;
}

// The part of `area` inside `image`.
QRect within(const QImage& image, const QRect& area) {
    return area.intersected(image.rect());
}

// The projects table over one record, as the console shows it.
class ProjectsTable {
public:
    explicit ProjectsTable(const QPalette& palette, bool archived) {
        m_record.setValue(QStringLiteral("title"), QStringLiteral("Café Zürich"));
        if (archived)
            m_record.setValue(QStringLiteral("archived"), true);
        m_projects.listTable()->setRows({&m_record});
        // As the projects table gets it from its interface file.
        m_view.setPalette(palette);
        m_view.setSelectionBehavior(QAbstractItemView::SelectRows);
        m_projects.attachTo(&m_view);
        m_view.resize(360, 120);
        m_view.setColumnWidth(0, 320);
    }

    QTableView& view() { return m_view; }
    CouchModel& record() { return m_record; }
    QModelIndex row() const { return m_projects.index(0, 0); }
    // The row in the view's own coordinates, as grab() draws it.
    QRect rowRect() const { return m_view.visualRect(row()).translated(m_view.viewport()->pos()); }
    ProjectsTableDelegate::Layout layout() const {
        QStyleOptionViewItem option;
        m_view.initViewItemOption(&option);
        option.rect = m_view.visualRect(row());
        const auto* delegate =
            qobject_cast<ProjectsTableDelegate*>(m_view.itemDelegateForColumn(0));
        ProjectsTableDelegate::Layout where = delegate->layout(option, row());
        where.title.translate(m_view.viewport()->pos());
        where.marker.translate(m_view.viewport()->pos());
        return where;
    }
    // The right end of the row, where the marker goes and a short title
    // never reaches.
    QRect markerArea() const {
        const QRect rect = rowRect();
        return QRect(rect.right() - 100, rect.top() + 1, 97, rect.height() - 2);
    }

private:
    class View : public QTableView {
    public:
        using QTableView::initViewItemOption;
    };
    CouchModel m_record;
    ProjectArrayController m_projects{nullptr, nullptr};
    QAbstractItemModelTester m_tester{&m_projects,
                                      QAbstractItemModelTester::FailureReportingMode::Fatal};
    View m_view;
};

QPalette selectionPalette(const QColor& selection, const QColor& selectedText) {
    QPalette palette = QApplication::palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Highlight, selection);
        palette.setColor(group, QPalette::HighlightedText, selectedText);
    }
    return palette;
}

} // namespace

// The projects table as it is drawn: the title and the archived marker must
// be readable (WCAG 2.1 contrast of at least 4.5:1) on the rows and on the
// selection colour, whatever selection colour the desktop brings.
class TestProjectsDrawing : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void contrastRatioFollowsWcag() {
        QCOMPARE(trevok::contrastRatio(Qt::black, Qt::white), 21.0);
        QCOMPARE(trevok::contrastRatio(Qt::white, Qt::white), 1.0);
        // The grey of the old marker on white, and white on Qt's default blue.
        QVERIFY(qAbs(trevok::contrastRatio(QColor(0x6d, 0x6d, 0x6d), Qt::white) - 5.17) < 0.01);
        QVERIFY(trevok::contrastRatio(Qt::white, QColor(0x30, 0x8c, 0xc6)) < 4.5);
    }

    void titleAndMarkerAreReadable_data() {
        QTest::addColumn<QPalette>("palette");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<bool>("archived");
        const QList<std::pair<const char*, QPalette>> palettes = {
            {"style's own", QApplication::palette()},
            {"light blue, white text", selectionPalette(QColor(0x9e, 0xcb, 0xf0), Qt::white)},
            {"mid blue, white text", selectionPalette(QColor(0x30, 0x8c, 0xc6), Qt::white)},
            {"dark blue, black text", selectionPalette(QColor(0x1d, 0x4f, 0x91), Qt::black)},
        };
        for (const auto& [name, palette] : palettes) {
            for (const bool selected : {false, true}) {
                for (const bool archived : {false, true}) {
                    QTest::addRow("%s, %s, %s", name, selected ? "selected" : "not selected",
                                  archived ? "archived" : "active")
                        << palette << selected << archived;
                }
            }
        }
    }
    void titleAndMarkerAreReadable() {
        QFETCH(QPalette, palette);
        QFETCH(bool, selected);
        QFETCH(bool, archived);

        ProjectsTable table(trevok::withReadableSelection(palette), archived);
        QTableView& view = table.view();
        const QModelIndex row = table.row();
        if (selected)
            view.selectionModel()->select(row, QItemSelectionModel::Select);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        const QImage image = view.grab().toImage();
        const QRect rowRect = table.rowRect();
        // The row's own colour, right of everything the cell draws.
        const QColor background = image.pixelColor(rowRect.right() - 2, rowRect.center().y());
        if (selected)
            QVERIFY(trevok::contrastRatio(background, view.palette().color(QPalette::Base)) > 1.2);

        const ProjectsTableDelegate::Layout where = table.layout();
        const QColor titleInk = inkOf(image, within(image, where.title), background);
        QVERIFY2(trevok::contrastRatio(titleInk, background) >= trevok::kReadableContrast,
                 qPrintable(QStringLiteral("title %1 on %2: %3:1")
                                .arg(titleInk.name(), background.name())
                                .arg(trevok::contrastRatio(titleInk, background))));

        // The marker shows for an archived project only, readable.
        QCOMPARE(!where.marker.isEmpty(), archived);
        const QColor markerInk = inkOf(image, within(image, table.markerArea()), background);
        if (archived) {
            QVERIFY(table.markerArea().contains(where.marker.center()));
            QVERIFY2(trevok::contrastRatio(markerInk, background) >= trevok::kReadableContrast,
                     qPrintable(QStringLiteral("marker %1 on %2: %3:1")
                                    .arg(markerInk.name(), background.name())
                                    .arg(trevok::contrastRatio(markerInk, background))));
        } else {
            // The row's own shading only (the style may draw it as a gradient).
            QVERIFY2(trevok::contrastRatio(markerInk, background) < 1.5,
                     qPrintable(markerInk.name() + QStringLiteral(" on ") + background.name()));
        }
        // Selected titles read like the users table's selected rows: in the
        // selected-text colour (or the nearest readable one).
        if (selected) {
            const QPalette::ColorGroup group =
                view.isActiveWindow() ? QPalette::Active : QPalette::Inactive;
            const QColor expected =
                trevok::readableOn(view.palette().color(group, QPalette::HighlightedText),
                                   view.palette().color(group, QPalette::Highlight));
            QVERIFY2(qAbs(titleInk.red() - expected.red()) <= 24 &&
                         qAbs(titleInk.green() - expected.green()) <= 24 &&
                         qAbs(titleInk.blue() - expected.blue()) <= 24,
                     qPrintable(titleInk.name() + QStringLiteral(" is not ") + expected.name()));
        }
        // What assistive technology reads for the row.
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&view);
        QVERIFY(accessible && accessible->tableInterface());
        QAccessibleInterface* cell = accessible->tableInterface()->cellAt(0, 0);
        QVERIFY(cell);
        QCOMPARE(cell->text(QAccessible::Name), archived ? QStringLiteral("Café Zürich, archived")
                                                         : QStringLiteral("Café Zürich"));
    }

    // Archiving (or a reload that brings the record back unarchived) redraws
    // the row with or without the marker, without reopening anything.
    void markerFollowsTheRecordAtRedraw() {
        ProjectsTable table(QApplication::palette(), false);
        table.view().show();
        QVERIFY(QTest::qWaitForWindowExposed(&table.view()));
        const auto markerShown = [&table] {
            const QImage image = table.view().grab().toImage();
            const QRect rowRect = table.rowRect();
            const QColor background = image.pixelColor(rowRect.right() - 2, rowRect.center().y());
            return trevok::contrastRatio(
                       inkOf(image, within(image, table.markerArea()), background), background) >=
                   trevok::kReadableContrast;
        };
        QVERIFY(!markerShown());
        table.record().setValue(QStringLiteral("archived"), true);
        QVERIFY(markerShown());
        table.record().setValue(QStringLiteral("archived"), false);
        QVERIFY(!markerShown());
    }

    void withReadableSelectionKeepsReadablePalettes() {
        const QPalette dark = selectionPalette(QColor(0x10, 0x30, 0x60), Qt::white);
        QCOMPARE(trevok::withReadableSelection(dark).color(QPalette::Active, QPalette::Highlight),
                 QColor(0x10, 0x30, 0x60));
        const QPalette light = selectionPalette(QColor(0x9e, 0xcb, 0xf0), Qt::white);
        const QColor fixed =
            trevok::withReadableSelection(light).color(QPalette::Inactive, QPalette::Highlight);
        QVERIFY(trevok::contrastRatio(fixed, Qt::white) >= trevok::kReadableContrast);
        // Still a blue: the selection keeps its hue.
        QVERIFY(fixed.blue() > fixed.red());
    }
};

QTEST_MAIN(TestProjectsDrawing)
#include "tst_projects_drawing.moc"
