#include "app/MainDialog.h"
#include "convert/ConvertWorker.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSessionManager>
#include <QShortcut>
#include <QThread>
#include <QTimerEvent>
#include <QWindow>

#include <memory>

#include "app/AboutDialog.h"
#include "app/JoinApp.h"
#include "app/QtTranslations.h"
#include "core/LanguageText.h"
#include "controls/SkinBitmaps.h"
#include "controls/SplashWindow.h"

namespace {

std::atomic<MainDialog*> currentDialog{nullptr};

constexpr int kTemplateWidth = 508;
constexpr int kTemplateHeight = 306;
constexpr char kControlIdProperty[] = "controlId";
constexpr UINT kScMinimize = 0xF020;
constexpr UINT kScClose = 0xF060;
// String 101, the system menu's About item.
constexpr char kAboutMenuText[] = "&About Splicora...";

}  // namespace

QRect DialogRect(int left, int top, int width, int height) {
  const int x0 = DluToPixelsX(left);
  const int y0 = DluToPixelsY(top);
  return QRect(x0, y0, DluToPixelsX(left + width) - x0, DluToPixelsY(top + height) - y0);
}

MainDialog::MainDialog(const QString& codecNameSetting, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint) {
  appIcon = ApplicationIcon();
  hintText = LanguageText(143, QStringLiteral("Please select video fragments into list..."));
  backgroundBrush = QBrush(backgroundColour);
  codecName = codecNameSetting.left(kCodecNameMax);
  // Never leave half of a surrogate pair at the cut.
  if (codecName.size() == kCodecNameMax && codecName.back().isHighSurrogate()) codecName.chop(1);
  currentDialog.store(this);

  CreateControls();
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { OnQueryEndSession(); });
  OnInitDialog();
}

MainDialog::~MainDialog() {
  StopRun();
  MainDialog* self = this;
  currentDialog.compare_exchange_strong(self, nullptr);
}

MainDialog* MainDialog::Current() { return currentDialog.load(); }

// The template: every control at its rectangle, bound to its member.
void MainDialog::CreateControls() {
  setObjectName(QStringLiteral("MainDialog"));
  setFixedSize(DluToPixelsX(kTemplateWidth), DluToPixelsY(kTemplateHeight));
  QPalette pal = palette();
  pal.setBrush(QPalette::Window, backgroundBrush);
  setPalette(pal);
  setAutoFillBackground(true);

  auto bind = [this](QWidget* w, int id, const char* name, QRect rect) {
    w->setObjectName(QString::fromLatin1(name));
    w->setProperty(kControlIdProperty, id);
    w->setGeometry(rect);
  };
  // Enter must reach the dialog, as with the template's owner-drawn buttons:
  // none of the buttons is a default button.
  auto button = [&]<typename Button>(Button* b, int id, const char* name, const char* text, QRect rect) {
    b->setText(QString::fromLatin1(text));
    b->setAutoDefault(false);
    b->setDefault(false);
    bind(b, id, name, rect);
    return b;
  };

  clipList = new CListFiles(this);
  bind(clipList, ctl::IDC_LIST, "clipList", DialogRect(7, 46, 398, 228));
  const auto skin = [this] { return new CSkinButton(this); };
  const auto hover = [this] { return new CHoverButton(this); };
  addButton = button(skin(), ctl::IDC_ADD, "addButton", "Add File", DialogRect(413, 45, 88, 17));
  removeButton = button(skin(), ctl::IDC_REMOVE, "removeButton", "Remove", DialogRect(413, 74, 88, 17));
  joinButton = button(skin(), ctl::IDC_JOIN, "joinButton", "Join", DialogRect(413, 280, 88, 17));
  progressBar = new CSkinProgress(this);
  bind(progressBar, ctl::IDC_PROGRESS, "progressBar", DialogRect(7, 283, 399, 14));
  cancelButton = button(skin(), ctl::IDC_CANCEL, "cancelButton", "Cancel", DialogRect(413, 262, 88, 17));
  cancelButton->hide();
  captionPanel = new CImagetxt(this);
  bind(captionPanel, ctl::IDC_CAPTION, "captionPanel", DialogRect(0, 0, 508, 40));
  exitButton = button(hover(), ctl::IDC_EXIT, "exitButton", "X", DialogRect(489, 1, 17, 14));
  minimizeButton = button(hover(), ctl::IDC_MINIMIZE, "minimizeButton", "_", DialogRect(471, 1, 17, 14));
  saveAsButton_ = button(new QPushButton(this), ctl::IDC_SAVEAS, "saveAsButton", "Save As...",
                         DialogRect(413, 241, 88, 17));
  saveAsButton_->hide();
  previewPanel = new CStaticVideo(this);
  bind(previewPanel, ctl::IDC_PREVIEW, "previewPanel", DialogRect(413, 150, 88, 66));
  // Only one of the two shows at a time; both take the place next to
  // Minimize, so the language button does not jump when it is pressed.
  englishButton = button(hover(), ctl::IDC_ENGLISH, "englishButton", "EN", DialogRect(453, 1, 17, 14));
  russianButton = button(hover(), ctl::IDC_RUSSIAN, "russianButton", "RU", DialogRect(453, 1, 17, 14));

  // Commands arrive as WM_COMMAND with the control's id.
  for (QPushButton* b : {addButton, removeButton, joinButton, cancelButton}) {
    const int id = b->property(kControlIdProperty).toInt();
    connect(b, &QPushButton::clicked, this,
            [this, id] { SendMessage(this, wm::WM_COMMAND, static_cast<WPARAM>(id), 0); });
  }
  // LVN_BEGINDRAG: the list drags the row it reported.
  connect(clipList, &CListFiles::BeginDrag, this, [this](int item, QPoint point) {
    clipList->BeginRowDrag(item, point);
  });
}

QWidget* MainDialog::GetDlgItem(int id) const {
  const auto children = findChildren<QWidget*>();
  for (QWidget* w : children) {
    const QVariant v = w->property(kControlIdProperty);
    if (v.isValid() && v.toInt() == id) return w;
  }
  return nullptr;
}

bool MainDialog::OnInitDialog() {
  // The splash shows while the controls are skinned; nothing waits for it.
  SplashWindow splash;
  splash.LoadImageResource(skin::kSplash);
  splash.SetColourKey(QColor(255, 255, 255));
  splash.Show(this);
  // The controls are bound (CreateControls).
  // 3.
  setWindowTitle(QStringLiteral("Splicora - join avi files"));
  // 4. The installed compressors.
  EnumerateCodecs(CodecList);
  // 5. The system menu with its About item is the window's own, on Alt+Space
  //    from any control (a shortcut, since the list would take the key).
  connect(new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this), &QShortcut::activated, this, [this] {
    std::unique_ptr<QMenu> menu(NewSystemMenu());
    menu->exec(SystemMenuPosition());
  });
  // 6.
  progressBar->setRange(0, 100);
  progressBar->SetPos(0);
  progressBar->SetBarColour(backgroundColour);
  // 7.
  if (!appIcon.isNull()) setWindowIcon(appIcon);
  // 8.
  captionPanel->SetSkinBitmap(skin::kTitleStrip, QColor(255, 255, 255));
  SetInfoLine(hintText);
  // 9.
  previewPanel->hide();
  // 10. The list: colours, styles, the two columns, the owner-drawn header.
  clipList->SetBkColor(QColor(255, 250, 230));
  clipList->SetTextBkColor(QColor(255, 250, 230));
  clipList->SetTextColor(QColor(0, 0, 128));
  clipList->SetExtendedStyle(clipList->GetExtendedStyle() | LVS_EX_FULLROWSELECT | LVS_EX_FLATSB | LVS_EX_INFOTIP |
                             LVS_EX_SINGLEROW);
  clipList->InsertColumn(0, LanguageText(135, QStringLiteral("Preview")), LVCFMT_CENTER, CListFiles::kThumbWidth);
  clipList->InsertColumn(1, LanguageText(136, QStringLiteral("File name")), LVCFMT_LEFT,
                         std::max(clipList->GetClientWidth(), 400) - CListFiles::kThumbWidth);
  clipList->MakeHeaderOwnerDrawn();
  // 11. The small buttons: tooltips, then children of the title strip at the
  //     same place on screen; the language buttons start hidden.
  //     Their corners are see-through: they sit on the title strip's
  //     gradient, which no single colour in place of the key would match.
  const QColor onStrip(Qt::transparent);
  exitButton->LoadStrip(skin::kExitStrip, onStrip, false);
  minimizeButton->LoadStrip(skin::kMinimizeStrip, onStrip, false);
  russianButton->LoadStrip(skin::kRussianStrip, onStrip, false);
  englishButton->LoadStrip(skin::kEnglishStrip, onStrip, false);
  exitButton->SetTipText(LanguageText(139, QStringLiteral("Exit")), true);
  minimizeButton->SetTipText(LanguageText(138, QStringLiteral("Minimize")), true);
  russianButton->SetTipText(QStringLiteral("Russian / English"), true);
  englishButton->SetTipText(QStringLiteral("English / Russian"), true);
  for (CHoverButton* b : {exitButton, minimizeButton, russianButton, englishButton})
    captionPanel->AdoptButton(b, b->property(kControlIdProperty).toInt());
  russianButton->hide();
  englishButton->hide();
  // 12.
  SwitchLanguage(CurrentLanguage());
  // 13.
  cancelButton->setGeometry(joinButton->geometry());
  removeButton->setEnabled(false);
  joinButton->setEnabled(false);
  // 14.
  SetListBottom(progressBar->geometry().bottom());
  progressBar->hide();
  // 15. The preview's off-screen picture comes with the preview control.
  // 16. Focus to the first control.
  splash.Close();
  clipList->setFocus();
  return true;
}

void MainDialog::SwitchLanguage(int language) {
  SetCurrentLanguage(language);
  if (!RussianAvailable()) {
    russianButton->hide();
    englishButton->hide();
  } else if (language == kLanguageEnglish) {
    russianButton->hide();
    englishButton->show();
  } else {
    englishButton->hide();
    russianButton->show();
  }
  exitButton->SetTipText(LanguageText(139, QStringLiteral("Exit")), true);
  minimizeButton->SetTipText(LanguageText(138, QStringLiteral("Minimize")), true);
  // The faces are rebuilt from the skin each time, so widening never accumulates.
  const auto reskin = [this](CSkinButton* b, const QString& label, int iconX, int iconWidth, bool fit) {
    b->SetSkin(label, buttonTextColour, skin::kButtonFace, skin::kButtonPressed, skin::kIconStrip, iconX, iconWidth);
    if (fit) b->SizeToContent();
    b->repaint();
  };
  reskin(addButton, LanguageText(140, QStringLiteral("  Add file")), 0, 17, true);
  reskin(removeButton, LanguageText(141, QStringLiteral("  Remove")), 17, 18, true);
  reskin(joinButton, LanguageText(158, QStringLiteral("  Save as...")), 35, 20, false);
  reskin(cancelButton, LanguageText(137, QStringLiteral("  Cancel")), 17, 18, true);
  // Qt's own texts (file dialogs, message-box buttons) follow the interface.
  UseQtTranslations(RussianAvailable() && language == kLanguageRussian);
  clipList->SetColumnText(0, LanguageText(135, QStringLiteral("Preview")));
  clipList->SetColumnText(1, LanguageText(136, QStringLiteral("File name")));
  hintText = LanguageText(143, QStringLiteral("Please select video fragments into list..."));
  SetInfoLine(hintText);
}

void MainDialog::SetCommandsEnabled(bool enable) {
  if (!enable) {
    removeButton->setEnabled(false);
    addButton->setEnabled(false);
    joinButton->setEnabled(false);
    return;
  }
  addButton->setEnabled(true);
  const bool haveRows = ClipCount() > 0;
  removeButton->setEnabled(haveRows);
  joinButton->setEnabled(haveRows);
}

void MainDialog::SetInfoLine(const QString& text) { captionPanel->SetTitle(text); }

QString MainDialog::InfoLine() const { return captionPanel->Title(); }

int MainDialog::ClipCount() const { return clipList->GetItemCount(); }

void MainDialog::SetListBottom(int bottom) {
  QRect r = clipList->geometry();
  r.setBottom(bottom);
  clipList->setGeometry(r);
}

void MainDialog::EnterJoiningLayout() {
  SetListBottom(progressBar->geometry().top() - 4 - 1);
  clipList->DragAcceptFiles(false);
  clipList->SetDragEnabled(false);
  clipList->repaint();
  joinButton->hide();
  cancelButton->setEnabled(true);
  cancelButton->show();
  cancelButton->repaint();
  progressBar->show();
}

void MainDialog::RestoreIdleLayout() {
  running = false;
  progressBar->SetPos(0);
  clipList->SetDragEnabled(true);
  clipList->DragAcceptFiles(true);
  SetListBottom(progressBar->geometry().bottom());
  progressBar->hide();
  cancelButton->hide();
  joinButton->show();
}

// --- Messages ---

LRESULT MainDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case wm::WM_CLOSE:
    case wm::WM_QUERYENDSESSION:
      if (SwallowCloseWhileJoining()) return message == wm::WM_CLOSE ? 0 : 1;
      break;
    case wm::MSG_JOIN_PROGRESS:
      return UpdateJoinProgress(static_cast<int>(wParam)) ? 1 : 0;
    case wm::MSG_JOIN_DONE:
      if (wParam == 1) videoFailed = true;
      if (wParam == 2) audioFailed = true;
      FinishRun();
      return 0;
    case wm::MSG_SWITCH_LANGUAGE:
      SwitchLanguage(static_cast<int>(wParam));
      return 0;
    case wm::MSG_ADD_DROPPED_FILE: {
      const auto* path = reinterpret_cast<const QString*>(wParam);
      return path ? AddClip(*path) : 1;
    }
    case wm::MSG_DROP_STATE:
      SetCommandsEnabled(wParam != 0);
      return 0;
    case wm::MSG_GRAPH_NOTIFY:
      if (joiner) OnGraphNotify();
      break;
    default:
      break;
  }
  return DefWindowProc(message, wParam, lParam);
}

LRESULT MainDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case wm::WM_CLOSE:
      // Idle: the dialog ends.
      reject();
      return 0;
    case wm::WM_QUERYENDSESSION:
      return 1;
    case wm::WM_COMMAND:
      OnCommand(static_cast<int>(wParam & 0xFFFF));
      return 0;
    case wm::WM_SYSCOMMAND:
      OnSysCommand(static_cast<UINT>(wParam));
      return 0;
    case wm::WM_TIMER:
      OnTimer(static_cast<UINT>(wParam));
      return 0;
    default:
      return 0;
  }
}

void MainDialog::OnCommand(int id) {
  switch (id) {
    case ctl::IDC_ADD:
      OnAddFile();
      break;
    case ctl::IDC_REMOVE:
      OnRemove();
      break;
    case ctl::IDC_JOIN:
      OnJoin();
      break;
    case ctl::IDC_CANCEL:
      OnCancelJoin();
      break;
    default:  // the title strip (1006) and anything else: nothing
      break;
  }
}

void MainDialog::OnSysCommand(UINT id) {
  if ((id & 0xFFF0) == wm::IDM_ABOUTBOX) {
    ShowAboutBox();
  } else if ((id & 0xFFF0) == kScMinimize) {
    showMinimized();
  } else if ((id & 0xFFF0) == kScClose) {
    PostMessage(this, wm::WM_CLOSE, 0, 0);
  }
}

void MainDialog::ShowAboutBox() {
  AboutDialog about(this);
  about.exec();
}

QRect MainDialog::WindowRectOnScreen() const {
  // A frameless window's frame is its geometry; without a window manager
  // mapToGlobal can lag behind a move, geometry() cannot.
  return isWindow() ? frameGeometry() : QRect(mapToGlobal(QPoint(0, 0)), size());
}

QPoint MainDialog::SystemMenuPosition() const {
  return WindowRectOnScreen().topLeft() + captionPanel->geometry().bottomLeft() + QPoint(1, 1);
}

QMenu* MainDialog::NewSystemMenu() {
  auto* menu = new QMenu(this);
  const auto item = [this, menu](const QString& text, UINT command) {
    menu->addAction(text, this, [this, command] { PostMessage(this, wm::WM_SYSCOMMAND, command, 0); });
  };
  item(LanguageText(1109, QStringLiteral("Mi&nimize")), kScMinimize);
  item(LanguageText(1110, QStringLiteral("&Close")), kScClose);
  menu->addSeparator();
  item(LanguageText(1104, QString::fromLatin1(kAboutMenuText)), wm::IDM_ABOUTBOX);
  return menu;
}

void MainDialog::OnTimer(UINT id) {
  if (id == wm::PROGRESS_TIMER_ID && joiner) OnProgressTimer();
}

UINT MainDialog::SetTimer(UINT id, int elapseMs) {
  KillTimer(id);
  const int qtId = startTimer(elapseMs);
  if (qtId == 0) return 0;
  timers_.insert(id, qtId);
  return id;
}

bool MainDialog::KillTimer(UINT id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return false;
  killTimer(it.value());
  timers_.erase(it);
  return true;
}

void MainDialog::timerEvent(QTimerEvent* event) {
  for (auto it = timers_.cbegin(); it != timers_.cend(); ++it) {
    if (it.value() == event->timerId()) {
      WindowProc(wm::WM_TIMER, it.key(), 0);
      return;
    }
  }
  QDialog::timerEvent(event);
}

bool MainDialog::SwallowCloseWhileJoining() {
  if (!running) return false;
  closeRequested = true;
  cancelRequested = true;
  running = false;
  ShowStopping();
  return true;
}

void MainDialog::OnQueryEndSession() { WindowProc(wm::WM_QUERYENDSESSION, 0, 0); }

void MainDialog::closeEvent(QCloseEvent* event) {
  // Alt+F4, the window manager's close: WM_CLOSE.
  if (SwallowCloseWhileJoining()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_F1) {
    // Help only for F1 alone; with Shift, Ctrl or Alt it does nothing.
    if (event->modifiers() == Qt::NoModifier && JoinApp::Instance()) JoinApp::Instance()->ShowHelp();
    return;
  }
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if ((enter || key == Qt::Key_Escape) && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // While a join runs, ending the dialog would pull the media layer from
    // under it: treat the key as a close request instead.
    if (SwallowCloseWhileJoining()) return;
    if (enter)
      accept();
    else
      reject();
    return;
  }
  QDialog::keyPressEvent(event);
}
