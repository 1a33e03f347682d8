#include "sources/file_list.hpp"

#include <QColor>
#include <QEvent>
#include <QHeaderView>
#include <QLabel>
#include <utility>

#include "sources/path_text.hpp"

namespace larkfield::sources {

int FileListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : Rows();
}

int FileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant FileListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() != 0 || index.row() >= Rows()) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return Text(index.row());
    case Qt::BackgroundRole:
      return QColor::fromRgb(FileList::kCellColour);
    default:
      return {};
  }
}

void FileListModel::Append(QString path) {
  if (IsEmpty()) {
    rows_.front() = std::move(path);
    const QModelIndex cell = index(0, 0);
    emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::ToolTipRole});
    return;
  }
  const int row = Rows();
  beginInsertRows(QModelIndex(), row, row);
  rows_.push_back(std::move(path));
  endInsertRows();
}

void FileListModel::Reset() {
  // Rows are removed rather than the model reset, which would also reset the column width.
  if (Rows() > 1) {
    beginRemoveRows(QModelIndex(), 1, Rows() - 1);
    rows_.resize(1);
    endRemoveRows();
  }
  if (!rows_.front().isEmpty()) {
    rows_.front().clear();
    const QModelIndex cell = index(0, 0);
    emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::ToolTipRole});
  }
}

FileList::FileList(QLabel* count_label, QWidget* parent)
    : QTableView(parent), count_label_(count_label) {
  setModel(&model_);
  horizontalHeader()->hide();
  verticalHeader()->hide();
  horizontalHeader()->setStretchLastSection(false);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // Rows of one line each, all alike: the view never measures its rows one by one.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setMinimumSectionSize(1);
  FitRowHeight();
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setTabKeyNavigation(false);  // Tab moves on to the next control, not the next cell
  setSelectionMode(QAbstractItemView::SingleSelection);
  setWordWrap(false);
  setCornerButtonEnabled(false);

  QPalette colours = palette();
  colours.setColor(QPalette::Base, Qt::white);  // outside the cells
  colours.setColor(QPalette::Highlight, QColor::fromRgb(kCellColour));
  setPalette(colours);
}

void FileList::AddFileToList(QString path) {
  if (IsEmpty()) setColumnWidth(0, kFilledColumnWidth);
  model_.Append(std::move(path));
  ShowCount();
}

void FileList::ResetFileList() {
  model_.Reset();
  count_label_->setText(tr("0 files"));
}

std::filesystem::path FileList::RowPath(int row) const { return PathFromText(model_.Text(row)); }

void FileList::changeEvent(QEvent* event) {
  QTableView::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitRowHeight();
}

void FileList::FitRowHeight() {
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 3);
}

void FileList::ShowCount() { count_label_->setText(tr("%1 Email Messages").arg(Rows())); }

}  // namespace larkfield::sources
