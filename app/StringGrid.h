// A text grid addressed like a classic string grid: cells by (column, row),
// row 0 the fixed heading row and column 0 the fixed number column, both
// counted in RowCount and ColCount. The fixed row is the table's horizontal
// header and the fixed column its vertical header, so they stay in place
// while the rows scroll. Selection covers whole rows.
#pragma once

#include <QTableWidget>

#include <cstdint>

// A selection as grid cell indexes.
struct TGridRect {
  int32_t Left = 0;
  int32_t Top = 0;
  int32_t Right = 0;
  int32_t Bottom = 0;
  bool operator==(const TGridRect&) const = default;
};

class TStringGrid : public QTableWidget {
  Q_OBJECT

public:
  // A grid of `colCount` columns and `rowCount` rows, fixed ones included.
  TStringGrid(int colCount, int rowCount, QWidget* parent = nullptr);

  int RowCount() const { return rowCount() + 1; }
  void SetRowCount(int rows);
  int ColCount() const { return columnCount() + 1; }

  QString Cell(int col, int row) const;
  void SetCell(int col, int row, const QString& text);
  // Bytes kept with a cell beside its text, for data the text cannot carry
  // exactly. Empty for a cell that has none.
  QByteArray CellBytes(int col, int row) const;
  void SetCellBytes(int col, int row, const QByteArray& bytes);

  void SetColWidth(int col, int width);
  void SetRowHeight(int height);

  // The selected rows, from column 1 to the last. With nothing selected, the
  // first normal row (see HasSelection).
  TGridRect Selection() const;
  bool HasSelection() const;

signals:
  // The user changed the selection: by a click, by dragging, or with the
  // keyboard. Changes the program makes (rows removed) do not count.
  void UserSelectionChanged();

private:
  // Counts the program's own changes in progress.
  int ProgramChanges = 0;

  QTableWidgetItem* _Item(int col, int row) const;
};
