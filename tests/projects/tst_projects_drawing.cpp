#include "lists/LiveListTableModel.h"
#include "projects/ProjectsTableCellView.h"
#include "services/Readable.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QStandardItemModel>
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

        QStandardItemModel model(1, 1);
        const QModelIndex row = model.index(0, 0);
        model.setData(row, QStringLiteral("Café Zürich"), Qt::DisplayRole);
        model.setData(row, archived, LiveListTableModel::ArchivedRole);
        QTableView view;
        // As the projects table gets it when its controller attaches.
        view.setPalette(trevok::withReadableSelection(palette));
        view.setModel(&model);
        view.setItemDelegateForColumn(0, new ProjectsTableDelegate(&view));
        view.setSelectionBehavior(QAbstractItemView::SelectRows);
        view.resize(360, 120);
        view.setColumnWidth(0, 320);
        view.openPersistentEditor(row);
        auto* cell = qobject_cast<ProjectsTableCellView*>(view.indexWidget(row));
        QVERIFY(cell);
        if (selected)
            view.selectionModel()->select(row, QItemSelectionModel::Select);
        cell->setSelected(selected);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        const QImage image = view.grab().toImage();
        const QRect rowRect = view.visualRect(row).translated(view.viewport()->pos());
        const QPoint origin = cell->mapTo(&view, QPoint(0, 0));
        // The row's own colour, right of everything the cell draws.
        const QColor background = image.pixelColor(rowRect.right() - 2, rowRect.center().y());
        if (selected)
            QVERIFY(trevok::contrastRatio(background, view.palette().color(QPalette::Base)) > 1.2);

        QLabel* title = cell->titleField();
        const QColor titleInk = inkOf(image, title->geometry().translated(origin), background);
        QVERIFY2(trevok::contrastRatio(titleInk, background) >= trevok::kReadableContrast,
                 qPrintable(QStringLiteral("title %1 on %2: %3:1")
                                .arg(titleInk.name(), background.name())
                                .arg(trevok::contrastRatio(titleInk, background))));

        QLabel* marker = cell->archivedTextField();
        QCOMPARE(marker->isVisible(), archived);
        if (archived) {
            const QColor markerInk =
                inkOf(image, marker->geometry().translated(origin), background);
            QVERIFY2(trevok::contrastRatio(markerInk, background) >= trevok::kReadableContrast,
                     qPrintable(QStringLiteral("marker %1 on %2: %3:1")
                                    .arg(markerInk.name(), background.name())
                                    .arg(trevok::contrastRatio(markerInk, background))));
        }
        // Selected titles read like the users table's selected rows: in the
        // selected-text colour (or the nearest readable one).
        if (selected)
            QCOMPARE(title->palette().color(QPalette::WindowText),
                     trevok::readableOn(view.palette().color(QPalette::HighlightedText),
                                        view.palette().color(QPalette::Highlight)));
        // What assistive technology reads for the row.
        QCOMPARE(cell->accessibleName(), archived ? QStringLiteral("Café Zürich, archived")
                                                  : QStringLiteral("Café Zürich"));
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
