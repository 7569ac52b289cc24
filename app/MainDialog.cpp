#include "app/MainDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QSessionManager>
#include <QThread>
#include <QTimerEvent>
#include <QWindow>

#include "core/LanguageText.h"

namespace {

std::atomic<MainDialog*> currentDialog{nullptr};

constexpr int kTemplateWidth = 508;
constexpr int kTemplateHeight = 306;
constexpr char kControlIdProperty[] = "controlId";

}  // namespace

QRect DialogRect(int left, int top, int width, int height) {
  const int x0 = DluToPixelsX(left);
  const int y0 = DluToPixelsY(top);
  return QRect(x0, y0, DluToPixelsX(left + width) - x0, DluToPixelsY(top + height) - y0);
}

MainDialog::MainDialog(const QString& codecNameSetting, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint) {
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
  auto button = [&](int id, const char* name, const char* text, QRect rect) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    // Enter must reach the dialog, as with the template's owner-drawn buttons.
    b->setAutoDefault(false);
    b->setDefault(false);
    bind(b, id, name, rect);
    return b;
  };

  clipList = new CListFiles(this);
  bind(clipList, ctl::IDC_LIST, "clipList", DialogRect(7, 46, 398, 228));
  addButton = button(ctl::IDC_ADD, "addButton", "Add File", DialogRect(413, 45, 88, 17));
  removeButton = button(ctl::IDC_REMOVE, "removeButton", "Remove", DialogRect(413, 74, 88, 17));
  joinButton = button(ctl::IDC_JOIN, "joinButton", "Join", DialogRect(413, 280, 88, 17));
  progressBar = new QProgressBar(this);
  bind(progressBar, ctl::IDC_PROGRESS, "progressBar", DialogRect(7, 283, 399, 14));
  progressBar->setTextVisible(false);
  cancelButton = button(ctl::IDC_CANCEL, "cancelButton", "Cancel", DialogRect(413, 262, 88, 17));
  cancelButton->hide();
  captionPanel = new QLabel(this);
  bind(captionPanel, ctl::IDC_CAPTION, "captionPanel", DialogRect(0, 0, 508, 40));
  exitButton = button(ctl::IDC_EXIT, "exitButton", "X", DialogRect(489, 1, 17, 14));
  minimizeButton = button(ctl::IDC_MINIMIZE, "minimizeButton", "_", DialogRect(471, 1, 17, 14));
  saveAsButton_ = button(ctl::IDC_SAVEAS, "saveAsButton", "Save As...", DialogRect(413, 241, 88, 17));
  saveAsButton_->hide();
  previewPanel = new QLabel(this);
  bind(previewPanel, ctl::IDC_PREVIEW, "previewPanel", DialogRect(413, 150, 88, 66));
  englishButton = button(ctl::IDC_ENGLISH, "englishButton", "EN", DialogRect(435, 1, 17, 14));
  russianButton = button(ctl::IDC_RUSSIAN, "russianButton", "RU", DialogRect(453, 1, 17, 14));

  // Commands arrive as WM_COMMAND with the control's id.
  for (QPushButton* b : {addButton, removeButton, joinButton, cancelButton}) {
    const int id = b->property(kControlIdProperty).toInt();
    connect(b, &QPushButton::clicked, this,
            [this, id] { SendMessage(this, wm::WM_COMMAND, static_cast<WPARAM>(id), 0); });
  }
  connect(exitButton, &QPushButton::clicked, this, [this] { PostMessage(this, wm::WM_CLOSE, 0, 0); });
  connect(minimizeButton, &QPushButton::clicked, this, [this] { showMinimized(); });
  connect(russianButton, &QPushButton::clicked, this,
          [this] { PostMessage(this, wm::MSG_SWITCH_LANGUAGE, kLanguageEnglish, 0); });
  connect(englishButton, &QPushButton::clicked, this,
          [this] { PostMessage(this, wm::MSG_SWITCH_LANGUAGE, kLanguageRussian, 0); });
  // LVN_BEGINDRAG: the list drags the row it reported.
  connect(clipList, &CListFiles::BeginDrag, this, [this](int item, QPoint point) {
    clipList->BeginRowDrag(item, point);
  });
  captionPanel->installEventFilter(this);
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
  // 1. The splash window comes with the skinned controls.
  // 2. The controls are bound (CreateControls).
  // 3.
  setWindowTitle(QStringLiteral("Splicora - join avi files"));
  // 4. The installed compressors.
  EnumerateCodecs(CodecList);
  // 5. The system menu's About item has no counterpart: the title strip's
  //    context menu opens About.
  // 6.
  progressBar->setRange(0, 100);
  progressBar->setValue(0);
  // 7.
  if (!appIcon.isNull()) setWindowIcon(appIcon);
  // 8. The title strip's bitmap comes with the skin; its text colour and text:
  {
    QPalette pal = captionPanel->palette();
    pal.setColor(QPalette::WindowText, QColor(255, 255, 255));
    // Until the title bitmap is drawn, a dark strip keeps the white text readable.
    pal.setColor(QPalette::Window, QColor(120, 62, 70));
    captionPanel->setPalette(pal);
    captionPanel->setAutoFillBackground(true);
    captionPanel->setIndent(DluToPixelsX(4));
    SetInfoLine(hintText);
  }
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
  exitButton->setToolTip(LanguageText(139, QStringLiteral("Exit")));
  minimizeButton->setToolTip(LanguageText(138, QStringLiteral("Minimize")));
  russianButton->setToolTip(QStringLiteral("Russian / English"));
  englishButton->setToolTip(QStringLiteral("English / Russian"));
  for (QPushButton* b : {exitButton, minimizeButton, russianButton, englishButton}) {
    b->setFocusPolicy(Qt::NoFocus);  // no focus kept after a click
    const QPoint screen = b->mapToGlobal(QPoint(0, 0));
    const QPoint onStrip = captionPanel->mapFromGlobal(screen);
    b->setParent(captionPanel);
    b->move(onStrip);
    b->show();
  }
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
  // 16. The splash closes with the skinned controls; focus to the first control.
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
  exitButton->setToolTip(LanguageText(139, QStringLiteral("Exit")));
  minimizeButton->setToolTip(LanguageText(138, QStringLiteral("Minimize")));
  addButton->setText(LanguageText(140, QStringLiteral("  Add file")));
  removeButton->setText(LanguageText(141, QStringLiteral("  Remove")));
  joinButton->setText(LanguageText(158, QStringLiteral("  Save as...")));
  cancelButton->setText(LanguageText(137, QStringLiteral("  Cancel")));
  for (QPushButton* b : {addButton, removeButton, joinButton, cancelButton}) b->repaint();
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

void MainDialog::SetInfoLine(const QString& text) { captionPanel->setText(text); }

QString MainDialog::InfoLine() const { return captionPanel->text(); }

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
  progressBar->setValue(0);
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
  constexpr UINT SC_MINIMIZE = 0xF020;
  constexpr UINT SC_CLOSE = 0xF060;
  if ((id & 0xFFF0) == wm::IDM_ABOUTBOX) {
    ShowAboutBox();
  } else if ((id & 0xFFF0) == SC_MINIMIZE) {
    showMinimized();
  } else if ((id & 0xFFF0) == SC_CLOSE) {
    PostMessage(this, wm::WM_CLOSE, 0, 0);
  }
}

void MainDialog::ShowAboutBox() {
  // The About box arrives with the help pages.
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

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
  // Dragging the title strip moves the window.
  if (watched == captionPanel && event->type() == QEvent::MouseButtonPress) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton && windowHandle()) {
      windowHandle()->startSystemMove();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}
