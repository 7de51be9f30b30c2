#include "ui/frmvkrparam.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <functional>

#include "ui/centerform.h"
#include "ui/frmvelkor.h"

namespace {

// Layouts are in twips; 15 twips make one pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;
constexpr int kClientWidthTwips = 6525;
constexpr int kClientHeightTwips = 6495;

QRect Twips(int left, int top, int width, int height) {
  return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel, height / kTwipsPerPixel);
}

const QString kGothic = QStringLiteral("ＭＳ ゴシック");
const QString kPGothic = QStringLiteral("ＭＳ Ｐゴシック");

QFont DialogFont(const QString& family, double points, bool bold = false) {
  QFont f(family);
  f.setPointSizeF(points);
  f.setBold(bold);
  return f;
}

// The check box as the dialog knows it: a click ticks an unticked or greyed
// box and unticks a ticked one; the value itself lives in the state.
class RunBatCheckBox : public QCheckBox {
 public:
  RunBatCheckBox(const QString& text, QWidget* parent, std::function<void()> onClick)
      : QCheckBox(text, parent), m_onClick(std::move(onClick)) {}

 protected:
  void nextCheckState() override { m_onClick(); }

 private:
  std::function<void()> m_onClick;
};

QLabel* AddLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(geometry);
  label->setFont(DialogFont(kGothic, 9));
  return label;
}

QFrame* AddLine(QWidget* parent, const char* name, int x1, int x2, int y, int widthPx, QPalette::ColorRole role) {
  auto* line = new QFrame(parent);
  line->setObjectName(QString::fromLatin1(name));
  line->setFrameShape(QFrame::NoFrame);
  line->setGeometry(x1 / kTwipsPerPixel, y / kTwipsPerPixel - widthPx / 2, (x2 - x1) / kTwipsPerPixel, widthPx);
  line->setAutoFillBackground(true);
  QPalette p = line->palette();
  p.setColor(QPalette::Window, p.color(role));
  line->setPalette(p);
  return line;
}

// Section headings: in the colours of an active title bar.
void MakeHeading(QLabel* label) {
  label->setFont(DialogFont(kPGothic, 9.75, true));
  label->setAlignment(Qt::AlignCenter);
  label->setAutoFillBackground(true);
  QPalette p = label->palette();
  p.setColor(QPalette::Window, p.color(QPalette::Active, QPalette::Highlight));
  p.setColor(QPalette::WindowText, p.color(QPalette::Active, QPalette::HighlightedText));
  label->setPalette(p);
}

void MakeRed(QLabel* label) {
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, Qt::red);
  label->setPalette(p);
}

}  // namespace

FrmVKRParam::FrmVKRParam(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("FrmVKRParam"));
  setWindowTitle(QStringLiteral("VelkorParam"));
  InstallJapaneseFontSubstitutes();
  setFixedSize(kClientWidthTwips / kTwipsPerPixel, kClientHeightTwips / kTwipsPerPixel);
  BuildControls();
  SetTabOrder();

  ParamDialogModel& state = ParamDialog();
  state.SetViewHook([this] { ShowState(); });
  state.Load();
  CenterForm(this);
  ShowState();
}

FrmVKRParam::~FrmVKRParam() { ParamDialog().SetViewHook({}); }

void FrmVKRParam::BuildControls() {
  using Box = ParamDialogModel::Box;

  auto* shape1 = new QFrame(this);
  shape1->setObjectName(QStringLiteral("Shape1"));
  shape1->setFrameShape(QFrame::Box);
  shape1->setGeometry(Twips(-300, 0, 9075, 555));

  QLabel* label5 = AddLabel(this, "Label5", QStringLiteral("サービス情報の設定画面"), Twips(300, 180, 6855, 195));
  label5->setFont(DialogFont(kGothic, 9.75, true));
  label5->setAttribute(Qt::WA_TranslucentBackground);
  AddLabel(this, "Label7", QStringLiteral("サービスポート、ユーザ等の情報を設定してください。"), Twips(120, 660, 5475, 195));
  AddLine(this, "Line2", 120, 6360, 960, 2, QPalette::Highlight);
  MakeHeading(AddLabel(this, "Label12", QStringLiteral("情報設定"), Twips(240, 1080, 1035, 195)));
  MakeRed(AddLabel(this, "Label6", QStringLiteral("デフォルト値の変更。（設定は必須です）"), Twips(1560, 1080, 4635, 195)));
  AddLabel(this, "Label14", QStringLiteral("Target Host"), Twips(4740, 1260, 1455, 195))->hide();

  auto addBox = [this](Box box, const char* name, QRect geometry) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setGeometry(geometry);
    edit->setFont(DialogFont(kGothic, 9.75));
    connect(edit, &QLineEdit::textEdited, this,
            [box](const QString& text) { ParamDialog().SetText(box, text.toStdU16String()); });
    m_txt[box] = edit;
    return edit;
  };

  addBox(Box::TxtTarget, "TxtTarget", Twips(5160, 1140, 2715, 270))->hide();
  AddLabel(this, "LblPort1", QStringLiteral("SMTP Port番号"), Twips(780, 1560, 1455, 195));
  addBox(Box::TxtSMTPPort, "TxtSMTPPort", Twips(2460, 1500, 735, 270));
  AddLabel(this, "Label2", QStringLiteral("通常は25です"), Twips(3420, 1560, 1695, 195));
  AddLabel(this, "lblPort", QStringLiteral("POP  Port番号"), Twips(780, 1980, 1335, 195));
  addBox(Box::TxtPopPort, "TxtPopPort", Twips(2460, 1920, 735, 270));
  AddLabel(this, "Label10", QStringLiteral("通常は110です"), Twips(3420, 1980, 1695, 195));
  AddLabel(this, "Label3", QStringLiteral("FTP  Port番号"), Twips(780, 2400, 1335, 195));
  addBox(Box::TxtFtpPort, "TxtFtpPort", Twips(2460, 2340, 735, 270));
  AddLabel(this, "Label1", QStringLiteral("通常は21です"), Twips(3420, 2400, 1695, 195));
  AddLabel(this, "Label4", QStringLiteral("HTTP Port番号"), Twips(780, 2820, 1455, 195));
  addBox(Box::TxtHttpPort, "TxtHttpPort", Twips(2460, 2760, 735, 270));
  AddLabel(this, "Label8", QStringLiteral("通常は80です"), Twips(3420, 2820, 1695, 195));
  AddLine(this, "Line1", 540, 4920, 3180, 1, QPalette::WindowText);
  AddLabel(this, "Label9", QStringLiteral("POP, FTPのチャレンジに使用します。"), Twips(780, 3300, 3495, 195));
  AddLabel(this, "LblMailInfo0", QStringLiteral("ユーザ"), Twips(780, 3660, 1455, 195));
  addBox(Box::TxtInfo0, "TxtInfo0", Twips(2460, 3600, 1935, 270));
  AddLabel(this, "LblMailInfo1", QStringLiteral("パスワード"), Twips(4380, 3600, 1395, 195))->hide();
  QLineEdit* password = addBox(Box::TxtInfo1, "TxtInfo1", Twips(6060, 3540, 1935, 255));
  password->setEchoMode(QLineEdit::Password);
  password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // "*"
  password->hide();

  AddLine(this, "Line3", 120, 6360, 4140, 2, QPalette::Highlight);
  MakeHeading(AddLabel(this, "Label11", QStringLiteral("動作設定"), Twips(300, 4260, 1035, 195)));
  MakeRed(AddLabel(this, "Label16", QStringLiteral("監視に関する指定。（設定は必須です）"), Twips(1620, 4260, 4635, 195)));
  AddLabel(this, "LblIntervalValue", QStringLiteral("監視間隔（分）"), Twips(840, 4740, 1395, 195));
  addBox(Box::TxtInterval, "TxtInterval", Twips(2460, 4680, 735, 270));
  AddLabel(this, "Label15", QStringLiteral("０ ～ 32767 まで"), Twips(3540, 4680, 2115, 195));
  AddLabel(this, "Label13", QStringLiteral("（０： 定期監視なし）"), Twips(3480, 4920, 2115, 195))
      ->setFont(DialogFont(kPGothic, 8.25));
  AddLabel(this, "LblRunBat", QStringLiteral("エラー処理バッチ"), Twips(840, 5280, 1635, 195));

  m_chkRunBat = new RunBatCheckBox(QStringLiteral("エラー時にバッチを起動する"), this, [this] { ChkRunBat_Clicked(); });
  m_chkRunBat->setObjectName(QStringLiteral("ChkRunBat"));
  m_chkRunBat->setGeometry(Twips(3000, 5280, 3075, 255));
  m_chkRunBat->setFont(DialogFont(kGothic, 9));

  m_lblRunErrBatName = AddLabel(this, "LblRunErrBatName", QStringLiteral("RunErrバッチ"), Twips(3420, 5580, 2115, 135));
  m_lblRunErrBatName->setFont(DialogFont(kPGothic, 8.25));

  auto addButton = [this](const char* name, const QString& caption, QRect geometry) {
    auto* button = new QPushButton(caption, this);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    button->setFont(DialogFont(kGothic, 9.75));
    // Neither button is the default one: Enter in a box does nothing.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
  };
  m_cmdSet = addButton("CmdSet", QStringLiteral("ＯＫ"), Twips(3780, 6060, 915, 315));
  m_cmdClose = addButton("CmdClose", QStringLiteral("閉じる"), Twips(5100, 6060, 855, 315));
  connect(m_cmdSet, &QPushButton::clicked, this, [] { ParamDialog().CmdSet_Click(); });
  connect(m_cmdClose, &QPushButton::clicked, this, [] { ParamDialog().CmdClose_Click(); });
}

void FrmVKRParam::SetTabOrder() {
  using Box = ParamDialogModel::Box;
  // By tab index; hidden boxes stay in the chain and are skipped.
  QWidget* order[] = {m_txt[Box::TxtPopPort], m_txt[Box::TxtInfo0], m_cmdSet,
                      m_cmdClose,             m_txt[Box::TxtInfo1], m_txt[Box::TxtSMTPPort],
                      m_txt[Box::TxtFtpPort], m_txt[Box::TxtHttpPort], m_txt[Box::TxtInterval],
                      m_txt[Box::TxtTarget],  m_chkRunBat};
  for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void FrmVKRParam::ShowState() {
  ParamDialogModel& state = ParamDialog();
  if (!state.IsLoaded()) {
    // Unloaded by ＯＫ, 閉じる or the close box: the window goes with it.
    if (isVisible()) QDialog::done(QDialog::Accepted);
    return;
  }
  setWindowTitle(QString::fromStdU16String(state.Caption()));
  for (int b = 0; b < ParamDialogModel::kBoxCount; ++b) {
    const QString text = QString::fromStdU16String(state.Text(static_cast<ParamDialogModel::Box>(b)));
    if (m_txt[b]->text() != text) m_txt[b]->setText(text);
  }
  const int value = state.RunBatValue();
  m_chkRunBat->setTristate(value == 2);
  m_chkRunBat->setCheckState(value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked);
  m_lblRunErrBatName->setText(QString::fromStdU16String(state.RunErrBatNameCaption()));
}

void FrmVKRParam::ChkRunBat_Clicked() {
  ParamDialogModel& state = ParamDialog();
  state.SetRunBatValue(state.RunBatValue() == 1 ? 0 : 1);
  ShowState();
}

void FrmVKRParam::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  m_txt[ParamDialogModel::TxtPopPort]->setFocus();
}

void FrmVKRParam::closeEvent(QCloseEvent* event) {
  if (ParamDialog().IsLoaded()) ParamDialog().CmdClose_Click();
  event->accept();
}

void FrmVKRParam::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void FrmVKRParam::reject() {
  if (ParamDialog().IsLoaded()) ParamDialog().CmdClose_Click();
  if (isVisible()) QDialog::done(QDialog::Rejected);
}

void ShowParamDialog(QWidget* parent) {
  FrmVKRParam dialog(parent);
  if (ParamDialog().IsLoaded()) dialog.exec();
}
