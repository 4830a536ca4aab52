// TRdaIPForm: the server address list ("Choose IP Address") that a connection shows at
// start-up when its ConnectAction is caFastConnectCombo. ChooseIPAddress
// (connection/RdaGetIP.h) reads the remembered addresses, shows this dialog through the
// widget user interface, and stores what the dialog held when it closed, whichever
// button closed it.
//
// The box lists the addresses sorted (without regard to case) and can be typed into.
// Add asks for an address ("Server IP Address", "Enter IP Address") and adds and
// selects it when it is new; Delete removes the entry equal to the text in the box, if
// there is one, and selects the first entry. Nothing is checked to be an address.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QComboBox;
class QGroupBox;
class QPushButton;

namespace rda {

class TRdaIPForm : public QDialog {
  Q_OBJECT

 public:
  // FormCreate: the list (in any order) with `last` selected. `last` is one of the
  // entries (ChooseIPAddress puts it there, also when it is empty).
  TRdaIPForm(const std::vector<std::string>& list, const std::string& last, QWidget* parent = nullptr);

  // The text in the box, and the entries in list order.
  std::string Text() const;
  std::vector<std::string> Entries() const;

  void btnAddClick();
  void btnDeleteClick();

  QGroupBox* GroupBox1 = nullptr;
  QComboBox* IPComboBox = nullptr;
  QPushButton* btnAdd = nullptr;
  QPushButton* btnDelete = nullptr;
  QPushButton* OKButton = nullptr;
  QPushButton* CancelButton = nullptr;

 private:
  // Adds `text` in its sorted place and returns its index.
  int AddSorted(const QString& text);
  // The index of the entry equal to `text` without regard to case, or -1.
  int IndexOf(const QString& text) const;
};

}  // namespace rda
