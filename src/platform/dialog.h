#pragma once
// Dialogs as data: templates, live control state, dialog procedures run on the window
// queue, message boxes, and the operator's input. The console only renders snapshots of
// this model and hands operator input back; all behaviour lives here and in the
// procedures.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/msgbox.h"
#include "platform/window.h"

namespace qd {

constexpr int IDC_STATIC = -1;
constexpr int LB_ERR = -1;
constexpr int LB_ERRSPACE = -2;
constexpr int CB_ERR = -1;
constexpr int CB_ERRSPACE = -2;
constexpr UINT BST_UNCHECKED = 0;
constexpr UINT BST_CHECKED = 1;

// Items one list or combo box holds; adding more fails with the platform's space error.
constexpr std::size_t kMaxListItems = 32767;
// What the operator may type into an edit control (the platform's default limit).
constexpr std::size_t kEditInputLimit = 32767;
// Information notices kept for the operator; older ones are dropped (they are logged).
constexpr std::size_t kMaxNotices = 64;

enum class ControlKind { Static, Button, DefPushButton, RadioButton, CheckBox, GroupBox, Edit, ListBox, ComboBox };

// Style flags of a control template.
enum ControlStyle : uint32_t {
    CS_GROUP = 1u << 0,        // starts a group (radio buttons up to the next group start)
    CS_TABSTOP = 1u << 1,
    CS_HIDDEN = 1u << 2,       // initially hidden
    CS_DISABLED = 1u << 3,     // initially disabled
    CS_CHECKED = 1u << 4,      // initially checked
    CS_AUTO = 1u << 5,         // automatic radio button / check box
    CS_MULTILINE = 1u << 6,    // edit
    CS_READONLY = 1u << 7,     // edit
    CS_VSCROLL = 1u << 8,
    CS_USETABSTOPS = 1u << 9,  // list box
    CS_NOTIFY = 1u << 10,      // list box sends LBN_SELCHANGE
    CS_SORT = 1u << 11,        // list or combo box keeps its items sorted
    CS_NOHIDESEL = 1u << 12,   // edit shows its selection without the focus
    CS_AUTOHSCROLL = 1u << 13,
};

struct ControlTemplate {
    int id = IDC_STATIC;
    ControlKind kind = ControlKind::Static;
    std::string text;  // 8-bit (Windows-1252)
    int x = 0, y = 0, w = 0, h = 0;  // dialog units
    uint32_t style = 0;
    std::vector<int> tabStops;  // list boxes with CS_USETABSTOPS, dialog units
};

struct DialogTemplate {
    int id = 0;
    std::string title;
    std::string fontName;
    int fontSize = 8;
    int width = 0, height = 0;  // dialog units
    int iconId = 0;
    std::vector<ControlTemplate> controls;
};

struct ListItem {
    std::string text;
    LPARAM data = 0;
};

struct ControlState {
    ControlTemplate tmpl;
    std::string text;  // edits, buttons, statics; a combo box shows its selected item
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    std::vector<ListItem> items;
    int selection = -1;
    std::vector<int> tabStops;
    std::size_t selStart = 0, selEnd = 0;  // edit selection; the caret is at selEnd
};

class Desktop;
class Dialog;

// A dialog procedure: nonzero when it handled the message. For WM_INITDIALOG, nonzero
// asks for the focus on the first control that takes it; lParam is the creation parameter.
using DialogProc = std::function<INT_PTR(Dialog&, UINT msg, WPARAM wParam, LPARAM lParam)>;

class Dialog {
public:
    Dialog(Desktop& desktop, const DialogTemplate& tmpl, HWND owner, bool modal, DialogProc proc);

    HWND hwnd() const { return hwnd_; }
    HWND owner() const { return owner_; }
    bool modal() const { return modal_; }
    const DialogTemplate& tmpl() const { return tmpl_; }
    Desktop& desktop() { return desktop_; }
    const std::string& title() const { return title_; }
    void SetTitle(std::string title);
    bool IsEnabled() const { return enabled_; }

    // Ends a modal dialog: its loop returns the result after the current message.
    void End(INT_PTR result);
    bool ended() const { return ended_; }

    bool HasControl(int id) const { return Find(id) != nullptr; }
    const ControlState* Control(int id) const { return Find(id); }
    const std::vector<ControlState>& controls() const { return controls_; }

    // Texts and states, as SetDlgItemText/GetDlgItemText, CheckDlgButton, EnableWindow,
    // ShowWindow do. Setters return false for an unknown control.
    std::string GetDlgItemText(int id) const;
    bool SetDlgItemText(int id, std::string_view text);
    int GetWindowTextLength(int id) const;
    UINT IsDlgButtonChecked(int id) const;
    bool CheckDlgButton(int id, UINT check);
    bool CheckRadioButton(int firstId, int lastId, int checkId);
    bool EnableWindow(int id, bool enable);
    bool IsWindowEnabled(int id) const;
    bool ShowWindow(int id, bool show);
    bool IsWindowVisible(int id) const;

    // List box and combo box (both answer LB_ERR == CB_ERR == -1 where the platform does).
    int AddString(int id, std::string_view text);
    int InsertString(int id, int index, std::string_view text);  // index -1: at the end
    int DeleteString(int id, int index);                         // the remaining count
    int ResetContent(int id);
    int GetCount(int id) const;
    int GetCurSel(int id) const;
    int SetCurSel(int id, int index);  // -1 clears the selection (and answers LB_ERR)
    LPARAM GetItemData(int id, int index) const;
    int SetItemData(int id, int index, LPARAM data);
    int GetItemTextLength(int id, int index) const;
    std::optional<std::string> GetItemText(int id, int index) const;
    int FindItemData(int id, LPARAM data) const;  // first index holding it, or LB_ERR
    bool SetTabStops(int id, std::vector<int> stops);

    // Edit selection and lines, as EM_SETSEL, EM_GETSEL, EM_REPLACESEL, EM_LINEINDEX and
    // EM_LINELENGTH (lines end at "\r\n"; the model does not wrap).
    bool EditSetSel(int id, int start, int end);
    std::pair<int, int> EditGetSel(int id) const;
    bool EditReplaceSel(int id, std::string_view text);
    int EditLineIndex(int id, int line) const;
    int EditLineLength(int id, int charIndex) const;

    // Keyboard focus (a control id, 0 for none).
    bool SetFocus(int id);
    int GetFocus() const { return focus_; }

    // Sends WM_COMMAND to this dialog's procedure at once.
    LRESULT SendCommand(int id, UINT code);

private:
    friend class Desktop;
    ControlState* Find(int id);
    const ControlState* Find(int id) const;
    ControlState* FindList(int id);
    const ControlState* FindList(int id) const;
    int FirstFocusable() const;
    void ClickRadio(std::size_t index);
    void Changed();
    LRESULT WindowProcedure(UINT msg, WPARAM wParam, LPARAM lParam);

    Desktop& desktop_;
    DialogTemplate tmpl_;
    std::string title_;
    HWND hwnd_ = kNoWindow;
    HWND owner_ = kNoWindow;
    bool modal_ = false;
    bool enabled_ = true;
    bool ended_ = false;
    bool destroyed_ = false;
    INT_PTR result_ = 0;
    int focus_ = 0;
    DialogProc proc_;
    std::vector<ControlState> controls_;
};

// What the console reads: every open dialog and box, copied on the window thread.
struct DialogSnapshot {
    HWND hwnd = kNoWindow;
    HWND owner = kNoWindow;
    DialogTemplate tmpl;  // the template as created (positions, kinds, styles)
    std::string title;
    bool modal = false;
    bool enabled = true;
    int focus = 0;
    std::vector<ControlState> controls;
};

struct BoxSnapshot {
    int id = 0;
    bool question = false;  // a question holds its input until answered; a notice does not
    bool acceptsInput = false;
    MessageBoxRequest request;
    std::string caption;  // the caption shown (the default title when the request has none)
};

struct DesktopSnapshot {
    uint64_t revision = 0;
    std::vector<DialogSnapshot> dialogs;  // bottom to top
    std::vector<BoxSnapshot> boxes;       // oldest first
};

// The window thread's dialogs and boxes. Everything except the snapshot slot belongs to
// the window thread; the console reads published snapshots and posts input as tasks.
class Desktop {
public:
    explicit Desktop(MessageQueue& queue);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    MessageQueue& queue() { return queue_; }

    // Runs a modal dialog: every other enabled dialog is disabled while it is open and
    // the queue is served by a nested loop until the dialog ends. Returns the end result,
    // or -1 when the queue was quit first.
    INT_PTR DialogBoxParam(const DialogTemplate& tmpl, HWND owner, DialogProc proc, LPARAM param);
    // Creates a modeless dialog and returns at once; DestroyWindow removes it.
    HWND CreateDialogParam(const DialogTemplate& tmpl, HWND owner, DialogProc proc, LPARAM param);

    Dialog* Find(HWND hwnd);
    Dialog* FindTemplate(int templateId);  // the topmost open dialog made from it
    std::vector<HWND> Dialogs() const;

    // Message boxes (the port's implementation on the window thread): OK-only boxes become
    // notices and return IDOK at once; other boxes hold every dialog and run a nested
    // loop until answered (on a quit: IDNO or IDCANCEL).
    int ShowMessageBox(const MessageBoxRequest& request);
    struct Box {
        int id = 0;
        MessageBoxRequest request;
        bool question = false;
        std::optional<int> answer;
    };
    const std::vector<Box>& Boxes() const { return boxes_; }
    void SetEchoToStderr(bool echo) { echoToStderr_ = echo; }

    // The operator's input. Each returns false when refused: unknown window or control,
    // a control that is disabled or hidden, or a dialog held by a modal dialog or box.
    bool Click(HWND hwnd, int controlId);
    bool TypeText(HWND hwnd, int controlId, std::string_view text);
    bool SelectItem(HWND hwnd, int controlId, int index);
    bool Focus(HWND hwnd, int controlId);
    bool PressEnter(HWND hwnd);   // the focused push button, else the default one, else IDOK
    bool PressEscape(HWND hwnd);  // IDCANCEL
    bool CloseBox(HWND hwnd);     // WM_CLOSE, which a dialog turns into IDCANCEL
    bool AnswerBox(int boxId, int button);
    bool DismissNotice(int boxId);
    bool AcceptsInput(HWND hwnd) const;

    // Change tracking: the revision grows with every visible change. After each
    // dispatched message a changed model is published for the console thread.
    uint64_t Revision() const { return revision_; }
    void Touch() { ++revision_; }
    DesktopSnapshot Snapshot() const;
    void PublishSnapshot();
    std::shared_ptr<const DesktopSnapshot> LatestSnapshot() const;  // any thread
    // Any thread: waits until a snapshot newer than the revision is published.
    std::shared_ptr<const DesktopSnapshot> WaitForSnapshot(uint64_t newerThan, std::chrono::milliseconds timeout) const;

private:
    friend class Dialog;
    struct Modal {
        HWND dialog = kNoWindow;
        int boxId = 0;
        std::vector<HWND> held;  // the dialogs this modal disabled
    };
    std::shared_ptr<Dialog> Create(const DialogTemplate& tmpl, HWND owner, bool modal, DialogProc proc);
    void Initialise(Dialog& dialog, LPARAM param);
    void Forget(HWND hwnd);
    std::vector<HWND> HoldAll();
    void Release(const std::vector<HWND>& held);
    Dialog* Input(HWND hwnd);
    ControlState* InputControl(Dialog& dialog, int controlId);
    bool BoxAcceptsInput(int boxId) const;

    MessageQueue& queue_;
    std::vector<std::shared_ptr<Dialog>> dialogs_;
    std::vector<Modal> modals_;
    std::vector<Box> boxes_;
    int nextBoxId_ = 1;
    bool echoToStderr_ = true;
    uint64_t revision_ = 1;
    uint64_t publishedRevision_ = 0;

    mutable std::mutex slotMutex_;
    mutable std::condition_variable slotChanged_;
    std::shared_ptr<const DesktopSnapshot> published_;
};

// Ends the modal dialog with that handle (from its procedure, as the platform's).
bool EndDialog(HWND hwnd, INT_PTR result);

// A message-box port that shows boxes on this desktop (install with SetMessageBoxHandler).
MessageBoxHandler WindowMessageBoxHandler(Desktop& desktop);

// The caption a box shows when its request names none.
inline const char* kDefaultBoxCaption = "Error";

}  // namespace qd
