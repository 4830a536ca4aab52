// TRdaDataSetModel over memory datasets, on the offscreen platform: columns,
// roles and editing, updates without a reset for one row, the view's order,
// and a picture of a master grid beside its detail grid (written to
// test-artifacts/widgets/ in the build tree).
#include <gtest/gtest.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QSignalSpy>
#include <QTableView>
#include <QWidget>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "memdata/RdaCustomDataSet.h"
#include "widgets/RdaDataSetModel.h"

namespace rda {
namespace {

// Id, Name (labelled "Customer"), Hidden (not visible); three rows.
std::unique_ptr<TRdaDataSet> Customers() {
  auto ds = std::make_unique<TRdaDataSet>();
  ds->AddField("Id", ftInteger, 0);
  ds->AddField("Name", ftString, 20);
  ds->AddField("Hidden", ftInteger, 0);
  ds->Open();
  ds->FieldByName("Name").SetDisplayLabel("Customer");
  ds->FieldByName("Hidden").SetVisible(false);
  const char* names[] = {"Ada", "Grace", "Edsger"};
  for (int i = 0; i < 3; ++i) ds->AppendRecord({Variant(i + 1), Variant(names[i]), Variant(0)});
  ds->First();
  return ds;
}

// The customers shown through a model.
struct Shown {
  std::unique_ptr<TRdaDataSet> ds = Customers();
  TDataSource source{ds.get()};
  TRdaDataSetModel model;
  Shown() { model.SetDataSource(&source); }
};

std::vector<std::string> Column(const TRdaDataSetModel& model, int column) {
  std::vector<std::string> texts;
  for (int r = 0; r < model.rowCount(); ++r) {
    texts.push_back(model.data(model.index(r, column)).toString().toStdString());
  }
  return texts;
}

TEST(DataSetModel, ColumnsRolesAndEditing) {
  Shown shown;
  auto& ds = shown.ds;
  TRdaDataSetModel& model = shown.model;
  ASSERT_EQ(model.columnCount(), 2);
  EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString().toStdString(), "Customer");
  EXPECT_EQ(Column(model, 1), (std::vector<std::string>{"Ada", "Grace", "Edsger"}));
  EXPECT_EQ(model.data(model.index(0, 0), Qt::EditRole).toString().toStdString(), "1");
  EXPECT_TRUE(model.flags(model.index(0, 1)).testFlag(Qt::ItemIsEditable));
  EXPECT_TRUE(model.setData(model.index(2, 1), QString("Barbara")));
  EXPECT_EQ(ds->FieldByName("Name").AsString(), "Barbara");
  EXPECT_EQ(Column(model, 1), (std::vector<std::string>{"Ada", "Grace", "Barbara"}));
  EXPECT_EQ(model.CurrentRow(), 2);
}

TEST(DataSetModel, OneRowChangedUpdatesThatRowOnly) {
  Shown shown;
  auto& ds = shown.ds;
  TRdaDataSetModel& model = shown.model;
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  QSignalSpy changes(&model, &QAbstractItemModel::dataChanged);
  ds->Next();
  ds->Edit();
  ds->FieldByName("Name").SetAsString("Hopper");
  ds->Post();
  EXPECT_EQ(resets.count(), 0);
  ASSERT_GE(changes.count(), 1);
  for (const QList<QVariant>& change : changes) {
    EXPECT_EQ(change.at(0).toModelIndex().row(), 1);
  }
  EXPECT_EQ(Column(model, 1), (std::vector<std::string>{"Ada", "Hopper", "Edsger"}));
  // Another set of rows resets.
  ds->AppendRecord({Variant(4), Variant("Alan")});
  EXPECT_EQ(resets.count(), 1);
  EXPECT_EQ(model.rowCount(), 4);
}

TEST(DataSetModel, RowsFollowTheIndexAndTheFilter) {
  Shown shown;
  auto& ds = shown.ds;
  TRdaDataSetModel& model = shown.model;
  ds->SetIndexFieldNames("Name");
  ds->Refresh();
  EXPECT_EQ(Column(model, 1), (std::vector<std::string>{"Ada", "Edsger", "Grace"}));
  ds->SetFilter("Id > 1");
  ds->SetFiltered(true);
  EXPECT_EQ(Column(model, 1), (std::vector<std::string>{"Edsger", "Grace"}));
  ds->Close();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.columnCount(), 0);
}

// A master grid beside its detail grid: choosing a master row in the view
// shows that customer's orders in the other.
TEST(DataSetModel, MasterAndDetailGridsSideBySide) {
  auto customers = Customers();
  TRdaDataSet orders;
  orders.AddField("Customer", ftInteger, 0);
  orders.AddField("Item", ftString, 20);
  orders.Open();
  const std::vector<std::pair<int, const char*>> rows = {
      {1, "Analytical engine"}, {2, "Compiler"}, {2, "Nanosecond wire"}, {3, "Semaphore"}};
  for (const auto& [customer, item] : rows) orders.AppendRecord({Variant(customer), Variant(item)});
  TDataSource customerSource(customers.get());
  TDataSource orderSource(&orders);
  orders.SetMasterFields("Id");
  orders.SetDetailFilter("Customer");
  orders.SetMasterSource(&customerSource);

  QWidget window;
  auto* layout = new QHBoxLayout(&window);
  auto* masterView = new QTableView;
  auto* detailView = new QTableView;
  layout->addWidget(masterView);
  layout->addWidget(detailView);
  TRdaDataSetModel masterModel, detailModel;
  masterModel.SetDataSource(&customerSource);
  detailModel.SetDataSource(&orderSource);
  masterView->setModel(&masterModel);
  detailView->setModel(&detailModel);
  masterModel.FollowSelection(masterView->selectionModel());
  detailModel.FollowSelection(detailView->selectionModel());
  window.resize(640, 240);
  window.show();

  EXPECT_EQ(Column(detailModel, 1), (std::vector<std::string>{"Analytical engine"}));
  masterView->selectionModel()->setCurrentIndex(masterModel.index(1, 0),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(customers->FieldByName("Name").AsString(), "Grace");
  EXPECT_EQ(Column(detailModel, 1), (std::vector<std::string>{"Compiler", "Nanosecond wire"}));
  EXPECT_EQ(detailView->model()->rowCount(), 2);
  // The dataset's own moves move the view's current row.
  orders.Last();
  EXPECT_EQ(detailView->selectionModel()->currentIndex().row(), 1);

  const std::string folder = std::string(RDA_BIN_DIR) + "/../test-artifacts/widgets";
  std::filesystem::create_directories(folder);
  QApplication::processEvents();
  EXPECT_TRUE(window.grab().save(QString::fromStdString(folder + "/dataset-model-master-detail.png")));
}

// The example of docs/datasets.md ("Showing a dataset in a view").
TEST(DataSetModel, DocsExample) {
  auto customers = Customers();
  rda::TRdaDataSet& people = *customers;
  rda::TDataSource source(&people);
  rda::TRdaDataSetModel model;  // widgets/RdaDataSetModel.h
  model.SetDataSource(&source);
  QTableView view;
  view.setModel(&model);
  model.FollowSelection(view.selectionModel());  // the selected row is the current record
  view.selectionModel()->setCurrentIndex(model.index(2, 0), QItemSelectionModel::ClearAndSelect);
  EXPECT_EQ(people.RecNo(), 3);
  people.First();
  EXPECT_EQ(view.selectionModel()->currentIndex().row(), 0);
}

}  // namespace
}  // namespace rda
