#include "dialogs/formutil.h"

#include "common/inifile.h"
#include "common/text.h"

namespace dorvex::dlg {

std::wstring ItemText(HWND control) {
  int n = GetWindowTextLengthW(control);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(control, text.data(), n + 1);
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

void SetItemText(HWND control, const std::wstring& text) { SetWindowTextW(control, text.c_str()); }

bool IsChecked(HWND control) { return SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void SetChecked(HWND control, bool checked) {
  SendMessageW(control, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void ShowControl(HWND control, bool show) { ShowWindow(control, show ? SW_SHOWNA : SW_HIDE); }

bool HasLineBreak(const std::wstring& text) { return text.find_first_of(L"\r\n") != std::wstring::npos; }

std::wstring UnsavableTextMessage(const std::wstring& text, const std::wstring& fieldName) {
  if (FitsAnsiCodePage(text)) return L"";
  return Fmt(L"Поле «%s» содержит знаки, которых нет в кодировке Windows (1251): в файле настроек они "
             L"превратились бы в «?». Замените или уберите их.",
             fieldName);
}

bool IsDigitsNumber(const std::wstring& text, int32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  long long v = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + (c - L'0');
  }
  if (v > 0x7FFFFFFF) return false;
  value = static_cast<int32_t>(v);
  return true;
}

bool IsValidPort(const std::wstring& text) {
  int32_t v = 0;
  return IsDigitsNumber(text, v) && v >= 1 && v <= 65535;
}

bool IsAbsolutePath(const std::wstring& path) {
  if (path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
      path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'))
    return true;
  // a share: two separators, a server name, a separator, a share name
  if (path.size() > 4 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/')) {
    size_t sep = path.find_first_of(L"\\/", 2);
    return sep != std::wstring::npos && sep > 2 && sep + 1 < path.size();
  }
  return false;
}

bool ParseVersionField(const std::wstring& raw, double& value) {
  std::wstring text = Trim(raw);
  if (text.empty()) return false;
  std::string a;
  int separators = 0, digits = 0;
  for (wchar_t c : text) {
    if (c >= L'0' && c <= L'9') {
      a += static_cast<char>(c);
      ++digits;
    } else if (c == L'.' || c == L',') {
      if (++separators > 1) return false;
      a += '.';
    } else {
      return false;
    }
  }
  if (digits == 0 || a.size() > 30) return false;
  // Parsed by hand: the C library's reading depends on a locale this program never sets.
  double whole = 0, fraction = 0, scale = 1;
  bool after = false;
  for (char c : a) {
    if (c == '.') {
      after = true;
    } else if (after) {
      scale /= 10;
      fraction += (c - '0') * scale;
    } else {
      whole = whole * 10 + (c - '0');
    }
  }
  value = whole + fraction;
  return true;
}

void CopyProgramList(const TProgramList& source, TProgramList& target) {
  for (const auto& p : source) {
    TProgram& copy = target.AddProgram(p->ProgramID, p->RevisionKey, p->Kind, p->BoosterType, p->ControllerType,
                                       p->UpgradeExeName, p->ExeName, p->Description, p->Title);
    copy.Assign(*p);
  }
}

void AssignKeepingRoutes(TProgram& target, const TProgram& source) {
  MessageHandler onMessage = target.OnMessage;
  ConnectionHandler onConnection = target.OnConnectionState;
  TrafficHandler onTraffic = target.OnTraffic;
  target.Assign(source);
  target.OnMessage = std::move(onMessage);
  target.OnConnectionState = std::move(onConnection);
  target.OnTraffic = std::move(onTraffic);
}

}  // namespace dorvex::dlg
