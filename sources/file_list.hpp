#pragma once

// The selected-files list: a one-column grid without headers, one full path per row, in
// the order of addition, duplicates kept. The empty list is one row with an empty cell, so
// the grid never has zero rows. The grid is the only store of the list.
//
// Every read and write names its row, so a command that yields between two rows cannot be
// sent to another row by a command that runs meanwhile.

#include <QAbstractTableModel>
#include <QCoreApplication>
#include <QString>
#include <QTableView>
#include <filesystem>
#include <vector>

class QLabel;

namespace larkfield::sources {

// The rows behind the grid. Appending is constant work: no search, no sort, no pass over
// the other rows.
class FileListModel final : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  // Writes row 0 when the list is empty, otherwise adds a row at the bottom.
  void Append(QString path);
  // Back to one empty row.
  void Reset();
  bool IsEmpty() const noexcept { return rows_.size() == 1 && rows_.front().isEmpty(); }
  int Rows() const noexcept { return static_cast<int>(rows_.size()); }
  const QString& Text(int row) const { return rows_.at(static_cast<std::size_t>(row)); }

 private:
  std::vector<QString> rows_{QString()};
};

class FileList final : public QTableView {
  Q_DECLARE_TR_FUNCTIONS(FileList)

 public:
  // Cell and selection colour of the grid.
  static constexpr QRgb kCellColour = 0x8080FF;
  // Width of the one column once the first file is in, in pixels.
  static constexpr int kFilledColumnWidth = 667;

  // `count_label` shows "0 files" when empty and "N Email Messages" when filled.
  FileList(QLabel* count_label, QWidget* parent);

  // Appends one path as the new last row (row 0 when the list was empty; the column then
  // narrows to its filled width) and refreshes the count label.
  void AddFileToList(QString path);
  // Empties the list and sets the label back to "0 files"; the column keeps its width.
  void ResetFileList();

  // The empty list still has one row, with the empty text.
  bool IsEmpty() const noexcept { return model_.IsEmpty(); }
  int Rows() const noexcept { return model_.Rows(); }
  int FileCount() const noexcept { return IsEmpty() ? 0 : Rows(); }
  QString RowText(int row) const { return model_.Text(row); }
  // The row's path in the system's spelling, byte for byte as it was found.
  std::filesystem::path RowPath(int row) const;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void ShowCount();
  void FitRowHeight();

  FileListModel model_;
  QLabel* count_label_;
};

}  // namespace larkfield::sources
