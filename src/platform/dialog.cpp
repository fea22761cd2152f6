#include "platform/dialog.h"

#include <algorithm>
#include <unordered_map>

namespace qd {

namespace {

// Live dialogs by handle, for EndDialog from a procedure (window thread only).
std::unordered_map<HWND, Dialog*> g_dialogs;

bool IsListKind(ControlKind k) { return k == ControlKind::ListBox || k == ControlKind::ComboBox; }
bool IsButtonKind(ControlKind k) { return k == ControlKind::Button || k == ControlKind::DefPushButton; }
bool IsFocusable(ControlKind k) { return k != ControlKind::Static && k != ControlKind::GroupBox; }

// Sorted lists compare without regard to case, as the platform's do.
bool LessNoCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
        auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
        return lower(x) < lower(y);
    });
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Dialog

Dialog::Dialog(Desktop& desktop, const DialogTemplate& tmpl, HWND owner, bool modal, DialogProc proc)
    : desktop_(desktop), tmpl_(tmpl), title_(tmpl.title), owner_(owner), modal_(modal), proc_(std::move(proc)) {
    controls_.reserve(tmpl.controls.size());
    for (const ControlTemplate& t : tmpl.controls) {
        ControlState c;
        c.tmpl = t;
        if (!IsListKind(t.kind)) c.text = t.text;
        c.checked = (t.style & CS_CHECKED) != 0;
        c.enabled = (t.style & CS_DISABLED) == 0;
        c.visible = (t.style & CS_HIDDEN) == 0;
        c.tabStops = t.tabStops;
        controls_.push_back(std::move(c));
    }
}

void Dialog::Changed() { desktop_.Touch(); }

void Dialog::SetTitle(std::string title) {
    if (title == title_) return;
    title_ = std::move(title);
    Changed();
}

void Dialog::End(INT_PTR result) {
    ended_ = true;
    result_ = result;
}

ControlState* Dialog::Find(int id) {
    for (ControlState& c : controls_)
        if (c.tmpl.id == id) return &c;
    return nullptr;
}

const ControlState* Dialog::Find(int id) const { return const_cast<Dialog*>(this)->Find(id); }

ControlState* Dialog::FindList(int id) {
    ControlState* c = Find(id);
    return c && IsListKind(c->tmpl.kind) ? c : nullptr;
}

const ControlState* Dialog::FindList(int id) const { return const_cast<Dialog*>(this)->FindList(id); }

LRESULT Dialog::SendCommand(int id, UINT code) {
    return SendMessage(hwnd_, WM_COMMAND, MAKEWPARAM(static_cast<UINT>(id), code), 0);
}

std::string Dialog::GetDlgItemText(int id) const {
    const ControlState* c = Find(id);
    return c ? c->text : std::string();
}

bool Dialog::SetDlgItemText(int id, std::string_view text) {
    ControlState* c = Find(id);
    if (!c) return false;
    if (c->text != text) {
        c->text.assign(text);
        Changed();
    }
    c->selStart = c->selEnd = 0;
    // A single-line edit reports the change; a multi-line one does not, as on the platform.
    if (c->tmpl.kind == ControlKind::Edit && !(c->tmpl.style & CS_MULTILINE)) SendCommand(id, EN_CHANGE);
    return true;
}

int Dialog::GetWindowTextLength(int id) const {
    const ControlState* c = Find(id);
    return c ? static_cast<int>(c->text.size()) : 0;
}

UINT Dialog::IsDlgButtonChecked(int id) const {
    const ControlState* c = Find(id);
    return c && c->checked ? BST_CHECKED : BST_UNCHECKED;
}

bool Dialog::CheckDlgButton(int id, UINT check) {
    ControlState* c = Find(id);
    if (!c) return false;
    const bool on = check == BST_CHECKED;
    if (c->checked != on) {
        c->checked = on;
        Changed();
    }
    return true;
}

bool Dialog::CheckRadioButton(int firstId, int lastId, int checkId) {
    bool any = false;
    for (ControlState& c : controls_) {
        if (c.tmpl.id < firstId || c.tmpl.id > lastId) continue;
        any = true;
        const bool on = c.tmpl.id == checkId;
        if (c.checked != on) {
            c.checked = on;
            Changed();
        }
    }
    return any;
}

bool Dialog::EnableWindow(int id, bool enable) {
    ControlState* c = Find(id);
    if (!c) return false;
    if (c->enabled != enable) {
        c->enabled = enable;
        if (!enable && focus_ == id) focus_ = 0;
        Changed();
    }
    return true;
}

bool Dialog::IsWindowEnabled(int id) const {
    const ControlState* c = Find(id);
    return c && c->enabled;
}

bool Dialog::ShowWindow(int id, bool show) {
    ControlState* c = Find(id);
    if (!c) return false;
    if (c->visible != show) {
        c->visible = show;
        if (!show && focus_ == id) focus_ = 0;
        Changed();
    }
    return true;
}

bool Dialog::IsWindowVisible(int id) const {
    const ControlState* c = Find(id);
    return c && c->visible;
}

int Dialog::AddString(int id, std::string_view text) {
    ControlState* c = FindList(id);
    if (!c) return LB_ERR;
    if (c->items.size() >= kMaxListItems) return LB_ERRSPACE;
    std::size_t index = c->items.size();
    if (c->tmpl.style & CS_SORT) {
        auto it = std::upper_bound(c->items.begin(), c->items.end(), text,
                                   [](std::string_view t, const ListItem& item) { return LessNoCase(t, item.text); });
        index = static_cast<std::size_t>(it - c->items.begin());
    }
    return InsertString(id, static_cast<int>(index), text);
}

int Dialog::InsertString(int id, int index, std::string_view text) {
    ControlState* c = FindList(id);
    if (!c) return LB_ERR;
    if (c->items.size() >= kMaxListItems) return LB_ERRSPACE;
    if (index == -1) index = static_cast<int>(c->items.size());
    if (index < 0 || index > static_cast<int>(c->items.size())) return LB_ERR;
    c->items.insert(c->items.begin() + index, ListItem{std::string(text), 0});
    if (c->selection >= index) ++c->selection;
    Changed();
    return index;
}

int Dialog::DeleteString(int id, int index) {
    ControlState* c = FindList(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return LB_ERR;
    c->items.erase(c->items.begin() + index);
    // Deleting the selected item leaves nothing selected, as on the platform.
    if (c->selection == index) {
        c->selection = -1;
        if (c->tmpl.kind == ControlKind::ComboBox) c->text.clear();
    } else if (c->selection > index) {
        --c->selection;
    }
    Changed();
    return static_cast<int>(c->items.size());
}

int Dialog::ResetContent(int id) {
    ControlState* c = FindList(id);
    if (!c) return LB_ERR;
    if (!c->items.empty() || c->selection != -1) Changed();
    c->items.clear();
    c->selection = -1;
    if (c->tmpl.kind == ControlKind::ComboBox) c->text.clear();
    return 0;
}

int Dialog::GetCount(int id) const {
    const ControlState* c = FindList(id);
    return c ? static_cast<int>(c->items.size()) : LB_ERR;
}

int Dialog::GetCurSel(int id) const {
    const ControlState* c = FindList(id);
    return c && c->selection >= 0 ? c->selection : LB_ERR;
}

int Dialog::SetCurSel(int id, int index) {
    ControlState* c = FindList(id);
    if (!c) return LB_ERR;
    const bool inRange = index >= 0 && index < static_cast<int>(c->items.size());
    // A list box keeps its selection for an index out of range; a combo box and -1 clear it.
    if (!inRange && index != -1 && c->tmpl.kind == ControlKind::ListBox) return LB_ERR;
    const int newSel = inRange ? index : -1;
    if (c->selection != newSel) {
        c->selection = newSel;
        Changed();
    }
    if (c->tmpl.kind == ControlKind::ComboBox) c->text = inRange ? c->items[index].text : std::string();
    return inRange ? index : LB_ERR;
}

LPARAM Dialog::GetItemData(int id, int index) const {
    const ControlState* c = FindList(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return LB_ERR;
    return c->items[index].data;
}

int Dialog::SetItemData(int id, int index, LPARAM data) {
    ControlState* c = FindList(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return LB_ERR;
    c->items[index].data = data;
    return 0;
}

int Dialog::GetItemTextLength(int id, int index) const {
    const ControlState* c = FindList(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return LB_ERR;
    return static_cast<int>(c->items[index].text.size());
}

std::optional<std::string> Dialog::GetItemText(int id, int index) const {
    const ControlState* c = FindList(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return std::nullopt;
    return c->items[index].text;
}

int Dialog::FindItemData(int id, LPARAM data) const {
    const ControlState* c = FindList(id);
    if (!c) return LB_ERR;
    for (std::size_t i = 0; i < c->items.size(); ++i)
        if (c->items[i].data == data) return static_cast<int>(i);
    return LB_ERR;
}

bool Dialog::SetTabStops(int id, std::vector<int> stops) {
    ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::ListBox) return false;
    if (c->tabStops != stops) {
        c->tabStops = std::move(stops);
        Changed();
    }
    return true;
}

bool Dialog::EditSetSel(int id, int start, int end) {
    ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::Edit) return false;
    const auto len = static_cast<long>(c->text.size());
    std::size_t s, e;
    if (start == -1) {
        s = e = c->selEnd;  // deselect, the caret stays
    } else {
        const long a = std::clamp<long>(start, 0, len);
        const long b = end < 0 ? len : std::clamp<long>(end, 0, len);
        s = static_cast<std::size_t>(std::min(a, b));
        e = static_cast<std::size_t>(std::max(a, b));
    }
    if (s != c->selStart || e != c->selEnd) {
        c->selStart = s;
        c->selEnd = e;
        Changed();
    }
    return true;
}

std::pair<int, int> Dialog::EditGetSel(int id) const {
    const ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::Edit) return {-1, -1};
    return {static_cast<int>(c->selStart), static_cast<int>(c->selEnd)};
}

bool Dialog::EditReplaceSel(int id, std::string_view text) {
    ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::Edit) return false;
    const std::size_t s = std::min(c->selStart, c->text.size());
    const std::size_t e = std::clamp(c->selEnd, s, c->text.size());
    c->text.replace(s, e - s, text);
    c->selStart = c->selEnd = s + text.size();
    Changed();
    SendCommand(id, EN_CHANGE);
    return true;
}

int Dialog::EditLineIndex(int id, int line) const {
    const ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::Edit) return -1;
    if (line == -1) {  // the caret's line
        const std::size_t at = c->text.rfind("\r\n", c->selEnd >= 2 ? c->selEnd - 2 : std::string::npos);
        return c->selEnd < 2 || at == std::string::npos ? 0 : static_cast<int>(at + 2);
    }
    std::size_t pos = 0;
    for (int i = 0; i < line; ++i) {
        const std::size_t at = c->text.find("\r\n", pos);
        if (at == std::string::npos) return -1;
        pos = at + 2;
    }
    return static_cast<int>(pos);
}

int Dialog::EditLineLength(int id, int charIndex) const {
    const ControlState* c = Find(id);
    if (!c || c->tmpl.kind != ControlKind::Edit) return 0;
    const std::size_t len = c->text.size();
    std::size_t at = charIndex < 0 ? c->selEnd : static_cast<std::size_t>(charIndex);
    if (at > len) return 0;
    // The start of the line holding the index: just after the last line end before it.
    std::size_t start = 0;
    for (std::size_t pos = c->text.find("\r\n"); pos != std::string::npos && pos + 2 <= at;
         pos = c->text.find("\r\n", pos + 2))
        start = pos + 2;
    const std::size_t stop = c->text.find("\r\n", start);
    return static_cast<int>((stop == std::string::npos ? len : stop) - start);
}

bool Dialog::SetFocus(int id) {
    if (id == 0) {
        if (focus_ != 0) Changed();
        focus_ = 0;
        return true;
    }
    const ControlState* c = Find(id);
    if (!c || !IsFocusable(c->tmpl.kind) || !c->visible || !c->enabled) return false;
    if (focus_ != id) {
        focus_ = id;
        Changed();
    }
    return true;
}

int Dialog::FirstFocusable() const {
    for (const ControlState& c : controls_)
        if (IsFocusable(c.tmpl.kind) && c.visible && c.enabled) return c.tmpl.id;
    return 0;
}

void Dialog::ClickRadio(std::size_t index) {
    // The group runs from the nearest group start at or before the button to the next one.
    std::size_t first = index;
    while (first > 0 && !(controls_[first].tmpl.style & CS_GROUP)) --first;
    std::size_t last = index + 1;
    while (last < controls_.size() && !(controls_[last].tmpl.style & CS_GROUP)) ++last;
    for (std::size_t i = first; i < last; ++i) {
        ControlState& c = controls_[i];
        if (c.tmpl.kind != ControlKind::RadioButton) continue;
        const bool on = i == index;
        if (c.checked != on) {
            c.checked = on;
            Changed();
        }
    }
}

LRESULT Dialog::WindowProcedure(UINT msg, WPARAM wParam, LPARAM lParam) {
    const INT_PTR handled = proc_ ? proc_(*this, msg, wParam, lParam) : 0;
    if (msg == WM_CLOSE && !handled) SendCommand(IDCANCEL, BN_CLICKED);
    if (msg == WM_DESTROY) {
        destroyed_ = true;
        desktop_.Forget(hwnd_);
    }
    return handled;
}

bool EndDialog(HWND hwnd, INT_PTR result) {
    auto it = g_dialogs.find(hwnd);
    if (it == g_dialogs.end()) return false;
    it->second->End(result);
    return true;
}

// ---------------------------------------------------------------------------------------
// Desktop: dialogs

Desktop::Desktop(MessageQueue& queue) : queue_(queue) {
    queue_.SetAfterDispatch([this] {
        if (revision_ != publishedRevision_) PublishSnapshot();
    });
}

Desktop::~Desktop() {
    queue_.SetAfterDispatch({});
    while (!dialogs_.empty()) {
        const HWND hwnd = dialogs_.back()->hwnd();
        if (!queue_.DestroyWindow(hwnd)) Forget(hwnd);
    }
}

std::shared_ptr<Dialog> Desktop::Create(const DialogTemplate& tmpl, HWND owner, bool modal, DialogProc proc) {
    auto dialog = std::make_shared<Dialog>(*this, tmpl, owner, modal, std::move(proc));
    std::weak_ptr<Dialog> weak = dialog;
    dialog->hwnd_ = queue_.CreateWindow([weak](HWND, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        auto d = weak.lock();  // kept alive while its procedure runs
        return d ? d->WindowProcedure(msg, w, l) : 0;
    });
    dialogs_.push_back(dialog);
    g_dialogs[dialog->hwnd_] = dialog.get();
    Touch();
    return dialog;
}

void Desktop::Initialise(Dialog& dialog, LPARAM param) {
    const int first = dialog.FirstFocusable();
    if (SendMessage(dialog.hwnd(), WM_INITDIALOG, static_cast<WPARAM>(first), param) != 0 && !dialog.destroyed_)
        dialog.SetFocus(dialog.FirstFocusable());
}

void Desktop::Forget(HWND hwnd) {
    g_dialogs.erase(hwnd);
    std::erase_if(dialogs_, [hwnd](const std::shared_ptr<Dialog>& d) { return d->hwnd() == hwnd; });
    Touch();
}

std::vector<HWND> Desktop::HoldAll() {
    std::vector<HWND> held;
    for (auto& d : dialogs_) {
        if (d->enabled_) {
            d->enabled_ = false;
            held.push_back(d->hwnd());
        }
    }
    if (!held.empty()) Touch();
    return held;
}

void Desktop::Release(const std::vector<HWND>& held) {
    for (HWND hwnd : held)
        if (Dialog* d = Find(hwnd)) d->enabled_ = true;
    Touch();
}

INT_PTR Desktop::DialogBoxParam(const DialogTemplate& tmpl, HWND owner, DialogProc proc, LPARAM param) {
    // Every open dialog is held while this one runs, owned or not: an operator command on
    // a window under a modal dialog would re-enter its procedure.
    Modal modal;
    modal.held = HoldAll();
    auto dialog = Create(tmpl, owner, true, std::move(proc));
    modal.dialog = dialog->hwnd();
    modals_.push_back(modal);
    Initialise(*dialog, param);
    // The nested loop may wait before it dispatches anything: show the dialog now.
    PublishSnapshot();
    queue_.RunUntil([&] { return dialog->ended_ || dialog->destroyed_; });
    const INT_PTR result = dialog->ended_ ? dialog->result_ : -1;
    std::erase_if(modals_, [&](const Modal& m) { return m.dialog == modal.dialog; });
    Release(modal.held);
    if (!dialog->destroyed_) queue_.DestroyWindow(dialog->hwnd());
    return result;
}

HWND Desktop::CreateDialogParam(const DialogTemplate& tmpl, HWND owner, DialogProc proc, LPARAM param) {
    auto dialog = Create(tmpl, owner, false, std::move(proc));
    Initialise(*dialog, param);
    return dialog->destroyed_ ? kNoWindow : dialog->hwnd();
}

Dialog* Desktop::Find(HWND hwnd) {
    for (auto& d : dialogs_)
        if (d->hwnd() == hwnd) return d.get();
    return nullptr;
}

Dialog* Desktop::FindTemplate(int templateId) {
    for (auto it = dialogs_.rbegin(); it != dialogs_.rend(); ++it)
        if ((*it)->tmpl().id == templateId) return it->get();
    return nullptr;
}

std::vector<HWND> Desktop::Dialogs() const {
    std::vector<HWND> out;
    for (auto& d : dialogs_) out.push_back(d->hwnd());
    return out;
}

// ---------------------------------------------------------------------------------------
// Desktop: message boxes

int Desktop::ShowMessageBox(const MessageBoxRequest& request) {
    Box box;
    box.id = nextBoxId_++;
    box.request = request;
    box.question = request.buttons != MbButtons::Ok;
    const std::string logged =
        std::string("[") + (request.caption ? *request.caption : kDefaultBoxCaption) + "] " + request.text;
    if (echoToStderr_) LogLine(BoxLogLevel(request), logged);
    // Only the window thread may touch the model or run its loop; a box shown from any
    // other thread is written out and answered as if the operator had declined.
    if (!queue_.IsWindowThread()) {
        if (!echoToStderr_) LogLine(BoxLogLevel(request), logged);
        return !box.question ? IDOK : request.buttons == MbButtons::YesNo ? IDNO : IDCANCEL;
    }
    if (!box.question) {
        boxes_.push_back(std::move(box));
        // Keep the newest notices; a flood of them must not grow without bound.
        std::size_t notices = 0;
        for (const Box& b : boxes_) notices += b.question ? 0 : 1;
        for (auto it = boxes_.begin(); notices > kMaxNotices && it != boxes_.end();) {
            if (!it->question) {
                it = boxes_.erase(it);
                --notices;
            } else {
                ++it;
            }
        }
        Touch();
        return IDOK;
    }
    const int id = box.id;
    const MbButtons buttons = request.buttons;
    boxes_.push_back(std::move(box));
    Modal modal;
    modal.boxId = id;
    modal.held = HoldAll();
    modals_.push_back(modal);
    Touch();
    auto findBox = [this, id]() -> Box* {
        for (Box& b : boxes_)
            if (b.id == id) return &b;
        return nullptr;
    };
    PublishSnapshot();  // the box is visible before the nested loop waits for its answer
    queue_.RunUntil([&] {
        const Box* b = findBox();
        return !b || b->answer.has_value();
    });
    const Box* b = findBox();
    const int answer = b && b->answer ? *b->answer : (buttons == MbButtons::YesNo ? IDNO : IDCANCEL);
    std::erase_if(boxes_, [id](const Box& x) { return x.id == id; });
    std::erase_if(modals_, [id](const Modal& m) { return m.boxId == id; });
    Release(modal.held);
    return answer;
}

bool Desktop::BoxAcceptsInput(int boxId) const {
    return !modals_.empty() && modals_.back().boxId == boxId;
}

bool Desktop::AnswerBox(int boxId, int button) {
    for (Box& b : boxes_) {
        if (b.id != boxId) continue;
        if (!b.question) return button == IDOK && DismissNotice(boxId);
        if (b.answer || !BoxAcceptsInput(boxId)) return false;
        const bool allowed = b.request.buttons == MbButtons::YesNo ? (button == IDYES || button == IDNO)
                                                                   : (button == IDOK || button == IDCANCEL);
        if (!allowed) return false;
        b.answer = button;
        Touch();
        return true;
    }
    return false;
}

bool Desktop::DismissNotice(int boxId) {
    const auto before = boxes_.size();
    std::erase_if(boxes_, [boxId](const Box& b) { return b.id == boxId && !b.question; });
    if (boxes_.size() == before) return false;
    Touch();
    return true;
}

MessageBoxHandler WindowMessageBoxHandler(Desktop& desktop) {
    return [&desktop](const MessageBoxRequest& request) { return desktop.ShowMessageBox(request); };
}

// ---------------------------------------------------------------------------------------
// Desktop: operator input

Dialog* Desktop::Input(HWND hwnd) {
    Dialog* d = Find(hwnd);
    return d && d->enabled_ && !d->ended_ && !d->destroyed_ ? d : nullptr;
}

bool Desktop::AcceptsInput(HWND hwnd) const { return const_cast<Desktop*>(this)->Input(hwnd) != nullptr; }

ControlState* Desktop::InputControl(Dialog& dialog, int controlId) {
    ControlState* c = dialog.Find(controlId);
    return c && c->visible && c->enabled ? c : nullptr;
}

bool Desktop::Click(HWND hwnd, int controlId) {
    Dialog* d = Input(hwnd);
    ControlState* c = d ? InputControl(*d, controlId) : nullptr;
    if (!c || !IsFocusable(c->tmpl.kind)) return false;
    d->SetFocus(controlId);
    switch (c->tmpl.kind) {
    case ControlKind::RadioButton:
        if (c->tmpl.style & CS_AUTO) d->ClickRadio(static_cast<std::size_t>(c - d->controls_.data()));
        break;
    case ControlKind::CheckBox:
        if (c->tmpl.style & CS_AUTO) {
            c->checked = !c->checked;
            d->Changed();
        }
        break;
    case ControlKind::Button:
    case ControlKind::DefPushButton:
        break;
    default:
        return true;  // a click into an edit or list only moves the focus
    }
    d->SendCommand(controlId, BN_CLICKED);
    return true;
}

bool Desktop::TypeText(HWND hwnd, int controlId, std::string_view text) {
    Dialog* d = Input(hwnd);
    ControlState* c = d ? InputControl(*d, controlId) : nullptr;
    if (!c || c->tmpl.kind != ControlKind::Edit || (c->tmpl.style & CS_READONLY)) return false;
    d->SetFocus(controlId);
    text = text.substr(0, kEditInputLimit);
    if (c->text != text) {
        c->text.assign(text);
        d->Changed();
    }
    c->selStart = c->selEnd = c->text.size();
    d->SendCommand(controlId, EN_CHANGE);
    return true;
}

bool Desktop::SelectItem(HWND hwnd, int controlId, int index) {
    Dialog* d = Input(hwnd);
    ControlState* c = d ? InputControl(*d, controlId) : nullptr;
    if (!c || !IsListKind(c->tmpl.kind) || index < 0 || index >= static_cast<int>(c->items.size())) return false;
    d->SetFocus(controlId);
    d->SetCurSel(controlId, index);
    if (c->tmpl.kind == ControlKind::ComboBox) d->SendCommand(controlId, CBN_SELCHANGE);
    else if (c->tmpl.style & CS_NOTIFY) d->SendCommand(controlId, LBN_SELCHANGE);
    return true;
}

bool Desktop::Focus(HWND hwnd, int controlId) {
    Dialog* d = Input(hwnd);
    return d && d->SetFocus(controlId);
}

bool Desktop::PressEnter(HWND hwnd) {
    Dialog* d = Input(hwnd);
    if (!d) return false;
    // A focused push button takes Enter; otherwise the default push button, and with none
    // the dialog receives IDOK, as the platform's dialog manager does.
    if (const ControlState* f = d->Find(d->focus_); f && IsButtonKind(f->tmpl.kind) && f->enabled && f->visible) {
        d->SendCommand(f->tmpl.id, BN_CLICKED);
        return true;
    }
    for (const ControlState& c : d->controls_) {
        if (c.tmpl.kind != ControlKind::DefPushButton) continue;
        if (!c.enabled || !c.visible) return false;
        d->SendCommand(c.tmpl.id, BN_CLICKED);
        return true;
    }
    d->SendCommand(IDOK, BN_CLICKED);
    return true;
}

bool Desktop::PressEscape(HWND hwnd) {
    Dialog* d = Input(hwnd);
    if (!d) return false;
    if (const ControlState* cancel = d->Find(IDCANCEL); cancel && (!cancel->enabled || !cancel->visible)) return false;
    d->SendCommand(IDCANCEL, BN_CLICKED);
    return true;
}

bool Desktop::CloseBox(HWND hwnd) {
    Dialog* d = Input(hwnd);
    if (!d) return false;
    SendMessage(hwnd, WM_CLOSE, 0, 0);
    return true;
}

// ---------------------------------------------------------------------------------------
// Desktop: snapshots

DesktopSnapshot Desktop::Snapshot() const {
    DesktopSnapshot s;
    s.revision = revision_;
    for (const auto& d : dialogs_) {
        DialogSnapshot ds;
        ds.hwnd = d->hwnd();
        ds.owner = d->owner();
        ds.tmpl = d->tmpl();
        ds.title = d->title();
        ds.modal = d->modal();
        ds.enabled = d->enabled_;
        ds.focus = d->focus_;
        ds.controls = d->controls_;
        s.dialogs.push_back(std::move(ds));
    }
    for (const Box& b : boxes_) {
        if (b.answer) continue;  // answered, closing
        BoxSnapshot bs;
        bs.id = b.id;
        bs.question = b.question;
        bs.acceptsInput = !b.question || BoxAcceptsInput(b.id);
        bs.request = b.request;
        bs.caption = b.request.caption ? *b.request.caption : kDefaultBoxCaption;
        s.boxes.push_back(std::move(bs));
    }
    return s;
}

void Desktop::PublishSnapshot() {
    auto snapshot = std::make_shared<const DesktopSnapshot>(Snapshot());
    publishedRevision_ = revision_;
    {
        std::lock_guard lock(slotMutex_);
        published_ = std::move(snapshot);
    }
    slotChanged_.notify_all();
}

std::shared_ptr<const DesktopSnapshot> Desktop::LatestSnapshot() const {
    std::lock_guard lock(slotMutex_);
    return published_;
}

std::shared_ptr<const DesktopSnapshot> Desktop::WaitForSnapshot(uint64_t newerThan,
                                                                 std::chrono::milliseconds timeout) const {
    std::unique_lock lock(slotMutex_);
    slotChanged_.wait_for(lock, timeout, [&] { return published_ && published_->revision > newerThan; });
    return published_ && published_->revision > newerThan ? published_ : nullptr;
}

}  // namespace qd
