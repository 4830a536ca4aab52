// The client-update window and the server address dialogs, on the offscreen platform:
// their texts, what their buttons do, and pictures of them (written to
// test-artifacts/widgets/ in the build tree, for people to look at).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>

#include <filesystem>

#include "tests/support/GuiTestEnvironment.h"
#include "tests/support/WidgetFit.h"
#include "widgets/RdaClientUpdateForm.h"
#include "widgets/RdaIPForm.h"
#include "widgets/RdaWidgetUserInterface.h"

namespace rda {
namespace {

using test::AnswerNextModal;

std::string Str(const QString& s) { return s.toStdString(); }

// Saves a picture of `widget` as <name>.png beside the other test pictures.
void SavePicture(QWidget* widget, const std::string& name) {
  const std::string folder = std::string(RDA_BIN_DIR) + "/../test-artifacts/widgets";
  std::filesystem::create_directories(folder);
  QApplication::processEvents();
  const std::string file = folder + "/" + name + ".png";
  EXPECT_TRUE(widget->grab().save(QString::fromStdString(file))) << file;
}

TEST(TClientUpdateForm, TextsWhenMadeAndAtEachStep) {
  TClientUpdateForm form;
  EXPECT_EQ(Str(form.windowTitle()), "Program Update In Progress . . . ");
  EXPECT_EQ(Str(form.Label1->text()), "Label1");
  EXPECT_EQ(Str(form.Label2->text()), "The Server is preparing the update ...");
  EXPECT_EQ(Str(form.Memo1->toPlainText()),
            "This software program must be updated.\n\nYou are not required to take any action.  "
            "This program has an intelligent update feature and it knows how to update itself.  "
            "Please wait while the update progresses.\n\nWhen the updated program has been received "
            "by your machine, it will start automatically and you can continue with your work.  "
            "Thank you.");
  EXPECT_TRUE(form.Memo1->isReadOnly());
  // The user cannot close it, and it stays over the other windows.
  EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(form.windowFlags() & Qt::WindowMinMaxButtonsHint);

  form.SetProgress({"Update of client in progress . . . 2 Min 5 Secs", " Received 4096 of 20000 bytes", 8192, 20000});
  EXPECT_EQ(Str(form.windowTitle()), "Update of client in progress . . . 2 Min 5 Secs");
  EXPECT_EQ(Str(form.Label2->text()), " Received 4096 of 20000 bytes");
  EXPECT_EQ(form.PBar->maximum(), 20000);
  EXPECT_EQ(form.PBar->value(), 8192);
}

// The widget user interface opens one window for an update, moves it on, and closes it.
TEST(TClientUpdateForm, TheUserInterfaceKeepsOneWindowForAnUpdate) {
  TRdaWidgetUserInterface ui;
  EXPECT_EQ(ui.UpdateForm(), nullptr);
  ui.ClientUpdateStarted();
  ASSERT_NE(ui.UpdateForm(), nullptr);
  EXPECT_TRUE(ui.UpdateForm()->isVisible());
  ui.ClientUpdateProgress({"c", "Receiving update ...", 0, 70000});
  EXPECT_EQ(Str(ui.UpdateForm()->Label2->text()), "Receiving update ...");
  EXPECT_EQ(ui.UpdateForm()->PBar->maximum(), 70000);
  ui.ClientUpdateEnded();
  EXPECT_EQ(ui.UpdateForm(), nullptr);
  ui.ClientUpdateProgress({"late", "", 1, 2});  // after the end: nothing to show it in
}

TEST(TRdaIPForm, LayoutAndTheSortedList) {
  TRdaIPForm form({"server1x", "10.0.0.2", "Alpha", "server1"}, "server1");
  EXPECT_EQ(Str(form.windowTitle()), "Choose IP Address");
  EXPECT_EQ(form.size(), QSize(292, 133));
  EXPECT_EQ(form.GroupBox1->geometry(), QRect(3, 4, 286, 89));
  EXPECT_EQ(Str(form.GroupBox1->title()), "IP Address");
  EXPECT_EQ(form.btnAdd->geometry(), QRect(8, 52, 75, 25));
  EXPECT_EQ(form.btnDelete->geometry(), QRect(92, 52, 75, 25));
  EXPECT_EQ(form.OKButton->geometry(), QRect(68, 101, 75, 25));
  EXPECT_EQ(form.CancelButton->geometry(), QRect(152, 101, 75, 25));
  EXPECT_EQ(Str(form.btnAdd->text()), "&Add");
  EXPECT_EQ(Str(form.btnDelete->text()), "&Delete");
  EXPECT_TRUE(form.OKButton->isDefault());
  EXPECT_TRUE(form.IPComboBox->isEditable());
  EXPECT_EQ(form.Entries(), (std::vector<std::string>{"10.0.0.2", "Alpha", "server1", "server1x"}));
  EXPECT_EQ(form.Text(), "server1");

  // Delete takes the entry shown out and shows the first; a text that is no entry
  // takes nothing out.
  form.btnDeleteClick();
  EXPECT_EQ(form.Entries(), (std::vector<std::string>{"10.0.0.2", "Alpha", "server1x"}));
  EXPECT_EQ(form.Text(), "10.0.0.2");
  form.IPComboBox->setEditText(QStringLiteral("typed"));
  form.btnDeleteClick();
  EXPECT_EQ(form.Entries().size(), 3u);
  EXPECT_EQ(form.Text(), "10.0.0.2");

  // No stored addresses: one empty entry, shown.
  TRdaIPForm empty({""}, "");
  EXPECT_EQ(empty.Entries(), std::vector<std::string>{""});
  EXPECT_EQ(empty.Text(), "");
}

// The list through the widget user interface: Add asks for an address and selects it
// when it is new, OK gives the box's text and what the list then holds.
TEST(TRdaIPForm, AddAsksAndOkAnswersWithTheBoxAndTheList) {
  TRdaWidgetUserInterface ui;
  std::vector<std::string> asked;
  AnswerNextModal<TRdaIPForm>([&](TRdaIPForm* form) {
    for (const char* typed : {"10.0.0.9", "ALPHA"}) {
      AnswerNextModal<QInputDialog>([&](QInputDialog* input) {
        asked.push_back(Str(input->windowTitle()) + "|" + Str(input->labelText()) + "|" +
                        Str(input->textValue()));
        input->setTextValue(QString::fromLatin1(typed));
        input->accept();
      });
      form->btnAdd->click();
    }
    form->OKButton->click();
  });
  const TRdaAddressChoice choice = ui.ChooseAddress({"beta", "alpha"}, "beta");
  EXPECT_EQ(asked, (std::vector<std::string>{"Server IP Address|Enter IP Address|",
                                             "Server IP Address|Enter IP Address|"}));
  EXPECT_TRUE(choice.Accepted);
  EXPECT_EQ(choice.Text, "10.0.0.9");  // ALPHA was listed already (any case): not added
  EXPECT_EQ(choice.List, (std::vector<std::string>{"10.0.0.9", "alpha", "beta"}));

  AnswerNextModal<TRdaIPForm>([](TRdaIPForm* form) { form->CancelButton->click(); });
  EXPECT_FALSE(ui.ChooseAddress({"a"}, "a").Accepted);
}

TEST(AddressAndUpdateDialogs, Pictures) {
  TRdaWidgetUserInterface ui;
  AnswerNextModal<TRdaIPForm>([](TRdaIPForm* form) {
    SavePicture(form, "address-list");
    EXPECT_EQ(test::LabelsThatDoNotFit(form), std::vector<std::string>{});
    form->OKButton->click();
  });
  ui.ChooseAddress({"10.0.0.2", "server1.example.com", "192.168.1.20"}, "server1.example.com");

  AnswerNextModal<QInputDialog>([](QInputDialog* input) {
    EXPECT_EQ(Str(input->windowTitle()), "Server Address");
    EXPECT_EQ(Str(input->labelText()), "Please specify the IP address of the server");
    EXPECT_EQ(Str(input->textValue()), "Put.YourAddress.Here");
    SavePicture(input, "address-prompt");
    input->accept();
  });
  EXPECT_EQ(ui.InputAddress("Server Address", "Please specify the IP address of the server",
                            "Put.YourAddress.Here"),
            std::optional<std::string>("Put.YourAddress.Here"));

  ui.ClientUpdateStarted();
  TClientUpdateForm* form = ui.UpdateForm();
  ASSERT_NE(form, nullptr);
  form->SetProgress({"Update of client in progress . . . 1 Min 12 Secs", " Received 2457600 of 4194304 bytes",
                     2600000, 4194304});
  SavePicture(form, "client-update");
  EXPECT_EQ(test::LabelsThatDoNotFit(form), std::vector<std::string>{});
  // The memo shows its whole text: nothing to scroll.
  EXPECT_EQ(form->Memo1->verticalScrollBar()->maximum(), 0);
  ui.ClientUpdateEnded();
}

}  // namespace
}  // namespace rda
