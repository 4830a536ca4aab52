// TRdaDataSetModel: a Qt table model over any dataset, through a data link.
//
// Columns are the dataset's visible fields (headers from their display
// labels); rows are the records of the dataset's current view, in its order
// (index, filter, master/detail). The display role gives a field's display
// text, the edit role its text; setting the edit role moves to the row and
// edits, assigns and posts. The model follows the dataset's events: a change
// of one record (an edit, a post that leaves the rows as they were) updates
// that row only; other changes reset the model. The dataset's current record
// is the model's current row (CurrentRow, CurrentRowChanged), and
// FollowSelection makes a view's selection and the dataset's cursor follow
// each other.
//
// The texts of the rows are read once, by walking the view with the
// dataset's controls disabled, when the rows change; the dataset's cursor is
// put back afterwards. Nothing is read while the dataset edits.
//
// The data source is observed, not owned; it tells the model's link when it
// goes. Everything runs on the thread that owns the dataset.
#pragma once

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QString>

#include <map>
#include <memory>
#include <vector>

#include "memdata/framework/DataSet.h"

namespace rda {

class TRdaDataSetModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TRdaDataSetModel(QObject* parent = nullptr);
  ~TRdaDataSetModel() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // The row of the dataset's current record; -1 without one.
  int CurrentRow() const { return current_; }
  // Moves the dataset to the row's record.
  void SetCurrentRow(int row);
  // The view's current row moves the dataset, and the dataset's moves move
  // the view's current row.
  void FollowSelection(QItemSelectionModel* selection);

 signals:
  void CurrentRowChanged(int row);

 private:
  class Link;
  friend class Link;
  struct Row {
    TBookmark bookmark;
    std::vector<QString> display;
    std::vector<QString> edit;
  };

  TDataSet* DataSet() const;
  void Reset();
  // The dataset's rows may have changed: the same rows update the current
  // one, others reset.
  void RowsChanged();
  // The current record's texts were changed (an edit).
  void CurrentChanged();
  void FollowCursor();
  Row ReadCurrent() const;
  std::vector<Row> ReadRows();

  std::unique_ptr<Link> link_;
  std::vector<TField*> columns_;
  std::vector<Row> rows_;
  std::map<TBookmark, int> rowOf_;
  int current_ = -1;
  bool reading_ = false;
};

}  // namespace rda
