#pragma once
// The program's only window: a frameless dialog laid out as template 102. It
// owns the clip list, the first clip's formats, the compressor list and the
// state of a running join, and receives the join's progress and end as window
// messages (WindowProc).
#include <QBrush>
#include <QColor>
#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <cstdint>
#include <vector>

#include "core/WindowMessages.h"
#include "clips/AudioFormat.h"
#include "clips/StreamSummary.h"
#include "controls/CHoverButton.h"
#include "controls/CImagetxt.h"
#include "controls/CListFiles.h"
#include "controls/CSkinButton.h"
#include "controls/CSkinProgress.h"
#include "controls/CStaticVideo.h"
#include "convert/CodecList.h"

class QCloseEvent;
class QKeyEvent;
class QMenu;
class QThread;
class TimelineJoiner;
class ConvertWorker;

// Control ids of template 102.
namespace ctl {
constexpr int IDC_LIST = 1000;
constexpr int IDC_ADD = 1001;
constexpr int IDC_REMOVE = 1002;
constexpr int IDC_JOIN = 1003;
constexpr int IDC_PROGRESS = 1004;
constexpr int IDC_CANCEL = 1005;
constexpr int IDC_CAPTION = 1006;
constexpr int IDC_EXIT = 1007;
constexpr int IDC_MINIMIZE = 1008;
constexpr int IDC_SAVEAS = 1009;
constexpr int IDC_PREVIEW = 1010;
constexpr int IDC_ENGLISH = 1011;
constexpr int IDC_RUSSIAN = 1012;
}  // namespace ctl

// Dialog units of "MS Shell Dlg" 8 pt at 96 DPI, in pixels.
constexpr int DluToPixelsX(int dlu) { return dlu * 6 / 4; }
constexpr int DluToPixelsY(int dlu) { return dlu * 13 / 8; }
// A template rectangle (left, top, width, height in dialog units) in pixels;
// both edges are converted so neighbouring controls stay flush.
QRect DialogRect(int left, int top, int width, int height);

class MainDialog : public QDialog, public MessageTarget {
  Q_OBJECT
 public:
  // codecName: the "Codec" setting; at most 127 characters are kept.
  explicit MainDialog(const QString& codecName, QWidget* parent = nullptr);
  ~MainDialog() override;

  // The process-wide main dialog (set by the constructor, cleared by the
  // destructor), through which UpdateJoinProgress finds it.
  static MainDialog* Current();

  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

  // The control with that template id, or null.
  QWidget* GetDlgItem(int id) const;

  // --- Window state ---
  void SwitchLanguage(int language);
  void SetCommandsEnabled(bool enable);
  // The window's own system menu (Alt+Space): the window manager has none
  // for a frameless window. Returns the menu, owned by the caller, unshown.
  QMenu* NewSystemMenu();
  // Where the window is on the screen, and where its own menu opens: below
  // the title strip's left end.
  QRect WindowRectOnScreen() const;
  QPoint SystemMenuPosition() const;
  // The title strip's text.
  void SetInfoLine(const QString& text);
  QString InfoLine() const;
  // Rows in the clip list.
  int ClipCount() const;

  // Win32-style timers on Qt timers: SetTimer returns id (0 on failure), and
  // every tick arrives as WM_TIMER with wParam id.
  UINT SetTimer(UINT id, int elapseMs);
  bool KillTimer(UINT id);

  // --- Adding and removing clips (MainDialogClips.cpp) ---
  void OnAddFile();
  void OnRemove();
  // 1: the batch may go on; 0: stop adding.
  int AddClip(const QString& path);
  // A batch of files in the order given, as Add File adds them (the command line's).
  void AddFiles(const QStringList& paths);

  // --- The Join command and the run (MainDialogJoin.cpp) ---
  void OnJoin();
  // Sets cancelRequested and disables the Cancel button; the join notices.
  void OnCancelJoin();
  void FinishRun();
  void StopRun();
  bool StartWorker();
  // true means "stop". Also called directly from the conversion thread.
  bool UpdateJoinProgress(int value);
  bool DirectJoin(const QString& path);
  bool CheckDiskSpace(const QString& path);
  bool FileSizeMegabytes(const QString& path, float& megabytes);
  // Makes path name a file that does not exist yet ("[n]" before the extension).
  void MakeUniqueOutputName(QString& path);
  // WM_TIMER 7 while a joiner exists.
  void OnProgressTimer();
  // MSG_GRAPH_NOTIFY while a joiner exists.
  void OnGraphNotify();

  // Joining-state layout shared by Join and FinishRun: the list shortened
  // above the bar, drops and row drags off, Cancel in Join's place, bar shown.
  void EnterJoiningLayout();
  // Back to idle: running off, bar at 0 and hidden, list to the bar's bottom,
  // drops and row drags on, Join shown, Cancel hidden.
  void RestoreIdleLayout();

  // --- Fields, in the order of the design ---
  QIcon appIcon;
  QString hintText;
  QColor backgroundColour{235, 192, 190};
  QBrush backgroundBrush;
  QString referenceDescription;
  StreamSummary referenceVideo{};
  StreamSummary referenceAudio{};
  AudioFormat referenceAudioFormat{};  // the first clip's audio as its format says, for the check
  TimelineJoiner* joiner = nullptr;  // owned: deleted by StopRun / FinishRun
  QString outputPath;
  uint32_t codecHandler = 0;
  bool convertAudio = false;
  int32_t totalSeconds = 0;
  UINT progressTimerId = 0;
  CSkinButton* addButton = nullptr;
  CSkinButton* removeButton = nullptr;
  CSkinButton* joinButton = nullptr;
  CSkinButton* cancelButton = nullptr;
  CHoverButton* exitButton = nullptr;
  CHoverButton* minimizeButton = nullptr;
  CHoverButton* russianButton = nullptr;
  CHoverButton* englishButton = nullptr;
  QColor buttonTextColour{255, 255, 255};
  QColor keyColour{205, 162, 160};
  // Read by the conversion thread, hence atomic.
  std::atomic<bool> running{false};
  std::atomic<bool> closeRequested{false};
  std::atomic<bool> cancelRequested{false};
  std::atomic<bool> previewDuringRun{false};
  std::atomic<bool> videoFailed{false};
  std::atomic<bool> audioFailed{false};
  CListFiles* clipList = nullptr;
  CSkinProgress* progressBar = nullptr;
  CImagetxt* captionPanel = nullptr;
  CStaticVideo* previewPanel = nullptr;
  QString codecName;  // at most 127 characters
  std::vector<CodecEntry> CodecList;
  std::unique_ptr<ConvertWorker> workerThread;  // the running conversion, if any
  int convertDelayForTesting = 0;  // microseconds the conversion waits after each picture (tests)

  static constexpr int kCodecNameMax = 127;

 protected:
  bool OnInitDialog();
  // The message map: what WindowProc does not answer itself.
  LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommand(int id);
  void OnSysCommand(UINT id);
  void OnTimer(UINT id);
  // About box (help and about).
  void ShowAboutBox();

  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void CreateControls();
  // A close request while a join runs only asks the join to stop.
  bool SwallowCloseWhileJoining();
  void OnQueryEndSession();
  void SetListBottom(int bottom);
  // While a stopped run drains (an encoder flushing its last pictures) the
  // title strip says so; FinishRun puts the line back.
  void ShowStopping();
  // The end message's note naming a cancelled or failed run's partial output.
  QString PartialOutputNote() const;

  QPushButton* saveAsButton_ = nullptr;  // 1009: in the template, never shown
  QHash<UINT, int> timers_;              // our id -> Qt timer id
  QString joinError_;                    // why the run failed, shown with the end message
  QString infoBeforeStop_;               // the title strip's line while "Stopping…" shows
  bool stoppingShown_ = false;
};
