#include "widgets/RdaDataSetModel.h"

#include "memdata/ValueGuard.h"

namespace rda {

// The model's data link: it turns the dataset's events into model updates.
class TRdaDataSetModel::Link : public TDataLink {
 public:
  explicit Link(TRdaDataSetModel& model) : model_(model) {}

 protected:
  void ActiveChanged() override { model_.Reset(); }
  void LayoutChanged() override { model_.Reset(); }
  void DataSetChanged() override { model_.RowsChanged(); }
  void DataSetScrolled(int /*distance*/) override { model_.FollowCursor(); }
  void RecordChanged(TField* /*field*/) override { model_.CurrentChanged(); }
  void EditingChanged() override { model_.CurrentChanged(); }

 private:
  TRdaDataSetModel& model_;
};

TRdaDataSetModel::TRdaDataSetModel(QObject* parent)
    : QAbstractTableModel(parent), link_(std::make_unique<Link>(*this)) {}

TRdaDataSetModel::~TRdaDataSetModel() = default;

TDataSource* TRdaDataSetModel::DataSource() const { return link_->DataSource(); }

void TRdaDataSetModel::SetDataSource(TDataSource* source) {
  link_->SetDataSource(source);
  Reset();
}

TDataSet* TRdaDataSetModel::DataSet() const { return link_->Active() ? link_->DataSet() : nullptr; }

TRdaDataSetModel::Row TRdaDataSetModel::ReadCurrent() const {
  Row row;
  TDataSet* ds = link_->DataSet();
  row.bookmark = ds->Bookmark();
  for (TField* f : columns_) {
    row.display.push_back(QString::fromStdString(f->DisplayText()));
    row.edit.push_back(QString::fromStdString(f->Text()));
  }
  return row;
}

std::vector<TRdaDataSetModel::Row> TRdaDataSetModel::ReadRows() {
  std::vector<Row> rows;
  TDataSet* ds = DataSet();
  if (!ds || ds->State() != dsBrowse) return rows;
  ValueGuard<bool> reading(reading_, true);
  ds->DisableControls();
  const TBookmark mark = ds->Bookmark();
  try {
    for (ds->First(); !ds->Eof(); ds->Next()) rows.push_back(ReadCurrent());
    if (!mark.empty() && ds->BookmarkValid(mark)) ds->GotoBookmark(mark);
  } catch (...) {
    ds->EnableControls();
    throw;
  }
  ds->EnableControls();
  return rows;
}

void TRdaDataSetModel::Reset() {
  if (reading_) return;
  beginResetModel();
  columns_.clear();
  rows_.clear();
  rowOf_.clear();
  if (TDataSet* ds = DataSet()) {
    for (const auto& f : ds->Fields()) {
      if (f->Visible()) columns_.push_back(f.get());
    }
    rows_ = ReadRows();
    for (size_t i = 0; i < rows_.size(); ++i) rowOf_[rows_[i].bookmark] = static_cast<int>(i);
  }
  endResetModel();
  FollowCursor();
}

void TRdaDataSetModel::RowsChanged() {
  if (reading_) return;
  TDataSet* ds = DataSet();
  if (!ds || ds->State() != dsBrowse) {
    CurrentChanged();
    return;
  }
  std::vector<Row> rows = ReadRows();
  bool same = rows.size() == rows_.size();
  for (size_t i = 0; same && i < rows.size(); ++i) same = rows[i].bookmark == rows_[i].bookmark;
  if (!same) {
    Reset();
    return;
  }
  // The same records: only those whose texts changed are told.
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].display == rows_[i].display && rows[i].edit == rows_[i].edit) continue;
    rows_[i] = std::move(rows[i]);
    const int r = static_cast<int>(i);
    emit dataChanged(index(r, 0), index(r, static_cast<int>(columns_.size()) - 1));
  }
  FollowCursor();
}

void TRdaDataSetModel::CurrentChanged() {
  if (reading_) return;
  TDataSet* ds = DataSet();
  if (!ds || ds->IsEmpty() || ds->State() == dsInsert) return;
  auto it = rowOf_.find(ds->Bookmark());
  if (it == rowOf_.end()) return;
  Row row = ReadCurrent();
  Row& mine = rows_[static_cast<size_t>(it->second)];
  if (row.display == mine.display && row.edit == mine.edit) return;
  mine = std::move(row);
  emit dataChanged(index(it->second, 0), index(it->second, static_cast<int>(columns_.size()) - 1));
}

void TRdaDataSetModel::FollowCursor() {
  if (reading_) return;
  TDataSet* ds = DataSet();
  int row = -1;
  if (ds && !ds->IsEmpty() && ds->State() != dsInsert) {
    auto it = rowOf_.find(ds->Bookmark());
    if (it != rowOf_.end()) row = it->second;
  }
  if (row == current_) return;
  current_ = row;
  emit CurrentRowChanged(row);
}

void TRdaDataSetModel::SetCurrentRow(int row) {
  TDataSet* ds = DataSet();
  if (!ds || row < 0 || row >= static_cast<int>(rows_.size()) || row == current_) return;
  ds->GotoBookmark(rows_[static_cast<size_t>(row)].bookmark);
  FollowCursor();
}

void TRdaDataSetModel::FollowSelection(QItemSelectionModel* selection) {
  connect(selection, &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& now, const QModelIndex&) {
            // No exception crosses the event loop: a refused move leaves the
            // cursor where it was.
            try {
              SetCurrentRow(now.row());
            } catch (const std::exception&) {
              FollowCursor();
            }
          });
  connect(this, &TRdaDataSetModel::CurrentRowChanged, selection, [this, selection](int row) {
    if (row >= 0 && selection->currentIndex().row() != row) {
      selection->setCurrentIndex(index(row, 0), QItemSelectionModel::ClearAndSelect |
                                                    QItemSelectionModel::Rows);
    }
  });
}

int TRdaDataSetModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TRdaDataSetModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TRdaDataSetModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= static_cast<int>(rows_.size()) ||
      index.column() >= static_cast<int>(columns_.size())) {
    return {};
  }
  const Row& row = rows_[static_cast<size_t>(index.row())];
  const auto column = static_cast<size_t>(index.column());
  if (role == Qt::DisplayRole) return row.display[column];
  if (role == Qt::EditRole) return row.edit[column];
  return {};
}

bool TRdaDataSetModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  TDataSet* ds = DataSet();
  if (!ds || role != Qt::EditRole || !index.isValid() || index.row() >= static_cast<int>(rows_.size()) ||
      index.column() >= static_cast<int>(columns_.size())) {
    return false;
  }
  try {
    SetCurrentRow(index.row());
    ds->Edit();
    columns_[static_cast<size_t>(index.column())]->SetText(value.toString().toStdString());
    ds->Post();
    return true;
  } catch (const std::exception&) {
    if (ds->State() == dsEdit) ds->Cancel();
    return false;
  }
}

Qt::ItemFlags TRdaDataSetModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() < static_cast<int>(columns_.size()) &&
      !columns_[static_cast<size_t>(index.column())]->ReadOnly()) {
    f |= Qt::ItemIsEditable;
  }
  return f;
}

QVariant TRdaDataSetModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  if (section < 0 || section >= static_cast<int>(columns_.size())) return {};
  return QString::fromStdString(columns_[static_cast<size_t>(section)]->DisplayLabel());
}

}  // namespace rda
