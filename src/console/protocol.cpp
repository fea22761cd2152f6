#include "console/protocol.h"

#include <limits>
#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace qd::console {

namespace {

using nlohmann::json;

const char* KindName(ControlKind kind) {
    switch (kind) {
    case ControlKind::Static: return "static";
    case ControlKind::Button: return "button";
    case ControlKind::DefPushButton: return "defbutton";
    case ControlKind::RadioButton: return "radio";
    case ControlKind::CheckBox: return "checkbox";
    case ControlKind::GroupBox: return "groupbox";
    case ControlKind::Edit: return "edit";
    case ControlKind::ListBox: return "listbox";
    case ControlKind::ComboBox: return "combobox";
    }
    return "static";
}

json StyleNames(uint32_t style) {
    static const std::pair<uint32_t, const char*> kNames[] = {
        {CS_GROUP, "group"},         {CS_TABSTOP, "tabstop"},   {CS_AUTO, "auto"},
        {CS_MULTILINE, "multiline"}, {CS_READONLY, "readonly"}, {CS_VSCROLL, "vscroll"},
        {CS_USETABSTOPS, "usetabstops"}, {CS_NOTIFY, "notify"}, {CS_SORT, "sort"},
        {CS_NOHIDESEL, "nohidesel"}, {CS_AUTOHSCROLL, "autohscroll"},
    };
    json out = json::array();
    for (const auto& [bit, name] : kNames)
        if (style & bit) out.push_back(name);
    return out;
}

const char* ButtonsName(MbButtons b) {
    switch (b) {
    case MbButtons::Ok: return "ok";
    case MbButtons::OkCancel: return "okcancel";
    case MbButtons::YesNo: return "yesno";
    }
    return "ok";
}

const char* IconName(MbIcon icon) {
    switch (icon) {
    case MbIcon::None: return "none";
    case MbIcon::Error: return "error";
    case MbIcon::Warning: return "warning";
    case MbIcon::Information: return "information";
    case MbIcon::Question: return "question";
    }
    return "none";
}

json ControlJson(const ControlState& c) {
    json j = {
        {"id", c.tmpl.id},
        {"kind", KindName(c.tmpl.kind)},
        {"x", c.tmpl.x}, {"y", c.tmpl.y}, {"w", c.tmpl.w}, {"h", c.tmpl.h},
        {"style", StyleNames(c.tmpl.style)},
        {"text", Win1252ToUtf8(c.text)},
        {"checked", c.checked},
        {"enabled", c.enabled},
        {"visible", c.visible},
    };
    if (c.tmpl.kind == ControlKind::ListBox || c.tmpl.kind == ControlKind::ComboBox) {
        json items = json::array();
        for (const ListItem& item : c.items) items.push_back(Win1252ToUtf8(item.text));
        j["items"] = std::move(items);
        j["selection"] = c.selection;
        j["tabStops"] = c.tabStops;
    }
    if (c.tmpl.kind == ControlKind::Edit) {
        // Offsets are in 8-bit characters; the page counts UTF-16 units, which agree for
        // every Windows-1252 character, so they can be used as they are.
        j["selStart"] = c.selStart;
        j["selEnd"] = c.selEnd;
    }
    return j;
}

// Integer member within [lo, hi], or nothing.
std::optional<int64_t> IntField(const json& j, const char* name, int64_t lo, int64_t hi) {
    auto it = j.find(name);
    if (it == j.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() && it->get<uint64_t>() > static_cast<uint64_t>(hi)) return std::nullopt;
    const int64_t v = it->get<int64_t>();
    if (v < lo || v > hi) return std::nullopt;
    return v;
}

}  // namespace

std::string SnapshotJson(const DesktopSnapshot* snapshot, const ConsoleStatus& status) {
    json dialogs = json::array();
    json boxes = json::array();
    if (snapshot) {
        for (const DialogSnapshot& d : snapshot->dialogs) {
            json controls = json::array();
            for (const ControlState& c : d.controls) controls.push_back(ControlJson(c));
            dialogs.push_back({
                {"hwnd", d.hwnd},
                {"owner", d.owner},
                {"template", d.tmpl.id},
                {"title", Win1252ToUtf8(d.title)},
                {"font", {{"name", Win1252ToUtf8(d.tmpl.fontName)}, {"size", d.tmpl.fontSize}}},
                {"width", d.tmpl.width},
                {"height", d.tmpl.height},
                {"modal", d.modal},
                {"enabled", d.enabled},
                {"focus", d.focus},
                {"controls", std::move(controls)},
            });
        }
        for (const BoxSnapshot& b : snapshot->boxes) {
            boxes.push_back({
                {"id", b.id},
                {"question", b.question},
                {"acceptsInput", b.acceptsInput},
                {"text", Win1252ToUtf8(b.request.text)},
                {"caption", Win1252ToUtf8(b.caption)},
                {"buttons", ButtonsName(b.request.buttons)},
                {"icon", IconName(b.request.icon)},
                {"owned", b.request.owned},
            });
        }
    }
    json out = {
        {"type", "snapshot"},
        {"revision", snapshot ? snapshot->revision : 0},
        {"status", {{"sessionName", Win1252ToUtf8(status.sessionName)}, {"hostAddress", Win1252ToUtf8(status.hostAddress)}}},
        {"dialogs", std::move(dialogs)},
        {"boxes", std::move(boxes)},
    };
    return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<Command> ParseCommand(std::string_view text) {
    const json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    auto opIt = j.find("op");
    if (opIt == j.end() || !opIt->is_string()) return std::nullopt;
    const std::string& op = opIt->get_ref<const std::string&>();

    static const std::pair<const char*, Command::Op> kOps[] = {
        {"click", Command::Op::Click},   {"type", Command::Op::Type},       {"select", Command::Op::Select},
        {"focus", Command::Op::Focus},   {"enter", Command::Op::Enter},     {"escape", Command::Op::Escape},
        {"close", Command::Op::Close},   {"answer", Command::Op::Answer},   {"dismiss", Command::Op::Dismiss},
    };
    Command c;
    bool known = false;
    for (const auto& [name, value] : kOps) {
        if (op == name) {
            c.op = value;
            known = true;
        }
    }
    if (!known) return std::nullopt;

    constexpr int64_t kMaxInt = std::numeric_limits<int>::max();
    if (c.op == Command::Op::Answer || c.op == Command::Op::Dismiss) {
        auto box = IntField(j, "box", 1, kMaxInt);
        if (!box) return std::nullopt;
        c.box = static_cast<int>(*box);
        if (c.op == Command::Op::Answer) {
            auto button = IntField(j, "button", 1, 7);
            if (!button || (*button != IDOK && *button != IDCANCEL && *button != IDYES && *button != IDNO))
                return std::nullopt;
            c.button = static_cast<int>(*button);
        }
        return c;
    }

    auto hwnd = IntField(j, "hwnd", 1, std::numeric_limits<HWND>::max());
    if (!hwnd) return std::nullopt;
    c.hwnd = static_cast<HWND>(*hwnd);
    if (c.op == Command::Op::Enter || c.op == Command::Op::Escape || c.op == Command::Op::Close) return c;

    auto control = IntField(j, "control", -1, 0xFFFF);
    if (!control) return std::nullopt;
    c.control = static_cast<int>(*control);
    if (c.op == Command::Op::Select) {
        auto index = IntField(j, "index", 0, static_cast<int64_t>(kMaxListItems) - 1);
        if (!index) return std::nullopt;
        c.index = static_cast<int>(*index);
    }
    if (c.op == Command::Op::Type) {
        auto t = j.find("text");
        if (t == j.end() || !t->is_string()) return std::nullopt;
        c.text = Utf8ToWin1252(t->get_ref<const std::string&>());
        if (c.text.size() > kEditInputLimit) c.text.resize(kEditInputLimit);
    }
    return c;
}

bool ApplyCommand(Desktop& desktop, const Command& c) {
    switch (c.op) {
    case Command::Op::Click: return desktop.Click(c.hwnd, c.control);
    case Command::Op::Type: return desktop.TypeText(c.hwnd, c.control, c.text);
    case Command::Op::Select: return desktop.SelectItem(c.hwnd, c.control, c.index);
    case Command::Op::Focus: return desktop.Focus(c.hwnd, c.control);
    case Command::Op::Enter: return desktop.PressEnter(c.hwnd);
    case Command::Op::Escape: return desktop.PressEscape(c.hwnd);
    case Command::Op::Close: return desktop.CloseBox(c.hwnd);
    case Command::Op::Answer: return desktop.AnswerBox(c.box, c.button);
    case Command::Op::Dismiss: return desktop.DismissNotice(c.box);
    }
    return false;
}

}  // namespace qd::console
