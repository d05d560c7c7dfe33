#include "app/list_view_ex.h"

#include <QHeaderView>
#include <QSignalBlocker>

#include "tempcomp/calibration_list.h"

namespace {

constexpr int kColumnWidths[] = {20, 50, 40, 80, 60};

QTableWidgetItem* TextItem(const std::string& text) {
    auto* item = new QTableWidgetItem(QString::fromStdString(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    return item;
}

}  // namespace

TListViewEx::TListViewEx(kv::TCalibrationList& list, QWidget* parent) : QTableWidget(parent), list_(list) {
    setColumnCount(5);
    setHorizontalHeaderLabels({QString(), QStringLiteral("Position"), QStringLiteral("Temp"), QStringLiteral("Time"),
                               QStringLiteral("Date")});
    for (int i = 0; i < 5; ++i) setColumnWidth(i, kColumnWidths[i]);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    // The Date column gives way rather than the list scrolling sideways.
    horizontalHeader()->setMinimumSectionSize(20);
    horizontalHeader()->setStretchLastSection(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    // Hot tracking: the row under the mouse is marked.
    setMouseTracking(true);
    setStyleSheet(QStringLiteral("QTableWidget::item:hover { background: palette(midlight); }"));

    connect(this, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (item->column() != 0) return;
        list_.SetChecked(static_cast<std::size_t>(item->row()), item->checkState() == Qt::Checked);
    });
}

void TListViewEx::Refresh() {
    const QSignalBlocker block(this);
    const auto& rows = list_.Rows();
    setRowCount(static_cast<int>(rows.size()));
    for (int r = 0; r < rowCount(); ++r) {
        const kv::TCRow& row = rows[static_cast<std::size_t>(r)];
        auto* check = new QTableWidgetItem;
        check->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        check->setCheckState(row.checked ? Qt::Checked : Qt::Unchecked);
        setItem(r, 0, check);
        setItem(r, 1, TextItem(row.position));
        setItem(r, 2, TextItem(row.temp));
        setItem(r, 3, TextItem(row.time));
        setItem(r, 4, TextItem(row.date));
    }
}

int TListViewEx::SingleSelectedRow() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.size() == 1 ? rows.first().row() : -1;
}

void TListViewEx::ScrollToLast() {
    if (rowCount() > 0) scrollToItem(item(rowCount() - 1, 0));
}
