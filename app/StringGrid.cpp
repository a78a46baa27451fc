#include "StringGrid.h"

#include <QHeaderView>

#include <algorithm>

TStringGrid::TStringGrid(int colCount, int rowCount, QWidget* parent)
    : QTableWidget(0, std::max(colCount - 1, 0), parent) {
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::ContiguousSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setShowGrid(true);
  setCornerButtonEnabled(false);
  setWordWrap(false);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  horizontalHeader()->setHighlightSections(false);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setHighlightSections(false);
  for (int c = 1; c < ColCount(); ++c) setHorizontalHeaderItem(c - 1, new QTableWidgetItem);
  SetRowCount(rowCount);
  connect(this, &QTableWidget::itemSelectionChanged, this, [this] {
    if (ProgramChanges == 0) emit UserSelectionChanged();
  });
}

void TStringGrid::SetRowCount(int rows) {
  const int old = rowCount();
  ++ProgramChanges;
  setRowCount(std::max(rows - 1, 0));
  --ProgramChanges;
  for (int r = old; r < rowCount(); ++r) setVerticalHeaderItem(r, new QTableWidgetItem);
}

QTableWidgetItem* TStringGrid::_Item(int col, int row) const {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount()) return nullptr;
  if (row == 0) return col == 0 ? nullptr : horizontalHeaderItem(col - 1);
  if (col == 0) return verticalHeaderItem(row - 1);
  return item(row - 1, col - 1);
}

QString TStringGrid::Cell(int col, int row) const {
  const QTableWidgetItem* it = _Item(col, row);
  return it ? it->text() : QString();
}

void TStringGrid::SetCell(int col, int row, const QString& text) {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount()) return;
  if (row == 0 && col == 0) return;  // the corner shows nothing
  if (QTableWidgetItem* it = _Item(col, row)) it->setText(text);
  else setItem(row - 1, col - 1, new QTableWidgetItem(text));
}

QByteArray TStringGrid::CellBytes(int col, int row) const {
  const QTableWidgetItem* it = _Item(col, row);
  return it ? it->data(Qt::UserRole).toByteArray() : QByteArray();
}

void TStringGrid::SetCellBytes(int col, int row, const QByteArray& bytes) {
  if (col < 0 || row < 0 || col >= ColCount() || row >= RowCount() || (row == 0 && col == 0)) return;
  QTableWidgetItem* it = _Item(col, row);
  if (!it) {
    it = new QTableWidgetItem;
    setItem(row - 1, col - 1, it);
  }
  it->setData(Qt::UserRole, bytes);
}

void TStringGrid::SetColWidth(int col, int width) {
  if (col == 0) verticalHeader()->setFixedWidth(width);
  else if (col < ColCount()) setColumnWidth(col - 1, width);
}

void TStringGrid::SetRowHeight(int height) {
  verticalHeader()->setDefaultSectionSize(height);
  verticalHeader()->setMinimumSectionSize(std::min(height, verticalHeader()->minimumSectionSize()));
  horizontalHeader()->setFixedHeight(height);
}

TGridRect TStringGrid::Selection() const {
  TGridRect rect{1, 1, ColCount() - 1, 1};
  const QList<QTableWidgetSelectionRange> ranges = selectedRanges();
  if (ranges.isEmpty()) {
    if (currentRow() >= 0) rect.Top = rect.Bottom = currentRow() + 1;
    return rect;
  }
  rect.Top = ranges.front().topRow() + 1;
  rect.Bottom = ranges.front().bottomRow() + 1;
  for (const auto& r : ranges) {
    rect.Top = std::min(rect.Top, r.topRow() + 1);
    rect.Bottom = std::max(rect.Bottom, r.bottomRow() + 1);
  }
  return rect;
}

bool TStringGrid::HasSelection() const { return !selectedRanges().isEmpty(); }
