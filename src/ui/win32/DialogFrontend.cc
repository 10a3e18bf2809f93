#include "ui/win32/DialogFrontend.h"

#include "app/BrickfixDlg.h"
#include "console/Text.h"
#include "console/UiBridge.h"
#include "platform/windows/Utf16.h"
#include "resource.h"
#include "ui/About.h"

static_assert(IDC_EDIT_LOG == IDC_LOG && IDC_EDIT_INPUT == IDC_INPUT,
              "the dialog template's control ids are the console's");

// Wakes the user-interface thread from another thread by sending the dialog
// kWakeMessage; SendMessage returns once the bridge has been served, or at
// once when the window is gone. Close() (on the user-interface thread, while
// the dialog still exists) stops further sends and serves those under way,
// so no sender is left waiting on a window that will not answer.
class DialogWaker {
 public:
  explicit DialogWaker(HWND hwnd) : m_hwnd(hwnd) {}

  void Wake() {
    m_senders.fetch_add(1);
    if (!m_closed.load()) SendMessageW(m_hwnd, DialogFrontend::kWakeMessage, 0, 0);
    m_senders.fetch_sub(1);
  }

  void Close() {
    m_closed.store(true);
    while (m_senders.load() > 0) {
      MSG msg;
      PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_SENDMESSAGE);
    }
  }

 private:
  HWND m_hwnd;
  std::atomic<int> m_senders{0};
  std::atomic<bool> m_closed{false};
};

namespace {

const wchar_t kBoxCaption[] = L"Brickfix";

// Faces that stand in for the console's face when it is not installed, best
// first: the Windows CJK faces, then those Linux distributions (and so Wine)
// bring.
const wchar_t* const kCjkFaces[] = {
    L"SimSun", L"NSimSun", L"新宋体", L"Microsoft YaHei", L"微软雅黑", L"SimHei", L"黑体",
    L"WenQuanYi Zen Hei Mono", L"WenQuanYi Zen Hei", L"Noto Sans Mono CJK SC", L"Noto Sans CJK SC",
    L"WenQuanYi Micro Hei", L"AR PL UMing CN", L"Droid Sans Fallback",
};

int CALLBACK OnFontFamily(const LOGFONTW* font, const TEXTMETRICW*, DWORD, LPARAM found) {
  *reinterpret_cast<std::wstring*>(found) = font->lfFaceName;
  return 0;  // the first is enough
}

// The installed family called `face` (any charset), or with an empty face the
// first family that has `charset`; empty when there is none.
std::wstring FindFamily(HDC dc, const std::wstring& face, BYTE charset) {
  LOGFONTW query = {};
  query.lfCharSet = charset;
  lstrcpynW(query.lfFaceName, face.c_str(), LF_FACESIZE);
  std::wstring found;
  EnumFontFamiliesExW(dc, &query, OnFontFamily, reinterpret_cast<LPARAM>(&found), 0);
  return found;
}

// The face to draw with: the requested one when installed, else the first
// installed CJK face of the list, else any face with simplified Chinese.
std::wstring ChooseFace(HWND hwnd, const std::wstring& requested) {
  HDC dc = GetDC(hwnd);
  std::wstring face = FindFamily(dc, requested, DEFAULT_CHARSET);
  for (const wchar_t* candidate : kCjkFaces) {
    if (!face.empty()) break;
    face = FindFamily(dc, candidate, DEFAULT_CHARSET);
  }
  if (face.empty()) face = FindFamily(dc, L"", GB2312_CHARSET);
  ReleaseDC(hwnd, dc);
  return face.empty() ? requested : face;
}

// Dots per inch of the monitor that shows `hwnd` (96 on systems that do not
// tell per window).
UINT DpiOf(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi) {
    if (UINT dpi = getDpi(hwnd)) return dpi;
  }
  HDC dc = GetDC(hwnd);
  int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

// Text for an edit control or a box: "\r\n" (or a lone "\n") ends a line,
// tabs stay, other control characters and bytes that are not UTF-8 show as
// U+FFFD.
std::wstring ForWindow(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find_first_of("\n\t", start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (end != std::string_view::npos && text[end] == '\n' && !piece.empty() && piece.back() == '\r') {
      piece.remove_suffix(1);
    }
    out += SanitizeForDisplay(piece);
    if (end == std::string_view::npos) break;
    out += text[end] == '\n' ? "\r\n" : "\t";
    start = end + 1;
  }
  return Widen(out);
}

}  // namespace

DialogFrontend::DialogFrontend(HINSTANCE instance)
    : m_instance(instance ? instance : GetModuleHandleW(nullptr)) {}

DialogFrontend::~DialogFrontend() { ReleaseResources(); }

int DialogFrontend::Run(UiBridge& bridge, const FrontendCallbacks& callbacks) {
  m_bridge = &bridge;
  m_callbacks = &callbacks;
  bridge.AttachUiThread();
  if (m_diag) m_diag->Capture(false);
  INT_PTR result = DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_BRICKFIX_DIALOG), nullptr,
                                   DialogProc, reinterpret_cast<LPARAM>(this));
  // Also when the dialog could not be made: waiting workers go on, later
  // calls return at once.
  bridge.Close();
  bridge.SetWakeup(nullptr);
  m_hDlg = nullptr;
  m_callbacks = nullptr;
  ReleaseResources();
  return result == -1 ? 1 : 0;
}

void DialogFrontend::ReleaseResources() {
  for (Look& look : m_looks) {
    if (look.font) DeleteObject(look.font);
    if (look.brush) DeleteObject(look.brush);
    look = Look{};
  }
  if (m_hIcon) DestroyIcon(m_hIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
  m_hIcon = m_hSmallIcon = nullptr;
}

INT_PTR CALLBACK DialogFrontend::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    reinterpret_cast<DialogFrontend*>(lParam)->OnInitDialog(hwnd);
    return TRUE;  // the dialog manager focuses the answer box, the first tab stop
  }
  auto* self = reinterpret_cast<DialogFrontend*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

void DialogFrontend::OnInitDialog(HWND hwnd) {
  m_hDlg = hwnd;
  // The About entry at the end of the system menu, after a separator.
  if (HMENU menu = GetSystemMenu(hwnd, FALSE)) {
    wchar_t text[256] = {};
    if (LoadStringW(m_instance, IDS_ABOUTBOX, text, 256) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, text);
    }
  }
  m_hIcon = static_cast<HICON>(LoadImageW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  m_hSmallIcon = static_cast<HICON>(LoadImageW(m_instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
  // The log holds more than an edit control's default 32767 characters.
  SendDlgItemMessageW(hwnd, IDC_LOG, EM_SETLIMITTEXT, 0, 0);
  MakeStatusStrip();

  m_waker = std::make_shared<DialogWaker>(hwnd);
  m_bridge->SetWakeup([waker = m_waker] { waker->Wake(); });
  if (m_callbacks->onInit) m_callbacks->onInit();
  if (!m_notice.empty()) PostMessageW(hwnd, kNoticeMessage, 0, 0);
  // Serve any call that was queued before the wake-up was set.
  m_bridge->Drain();
}

void DialogFrontend::OnClosing() {
  // From here on workers' calls return at once; those waiting go on.
  m_bridge->Close();
  if (m_waker) m_waker->Close();
}

INT_PTR DialogFrontend::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  HWND hwnd = m_hDlg.load();
  switch (message) {
    case kWakeMessage:
      m_bridge->Drain();
      return TRUE;

    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:  // Enter; never closes the dialog
          if (!m_bInEnter && m_callbacks->onEnter) {
            m_bInEnter = true;
            m_callbacks->onEnter();
            m_bInEnter = false;
          }
          return TRUE;
        case IDCANCEL:  // Escape, the close box, Alt+F4
          OnClosing();
          EndDialog(hwnd, IDCANCEL);
          return TRUE;
      }
      return FALSE;

    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        if (m_callbacks->onSysCommand) m_callbacks->onSysCommand(static_cast<unsigned>(wParam));
        return TRUE;
      }
      return FALSE;

    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC: {
      Look* look = LookOf(GetDlgCtrlID(reinterpret_cast<HWND>(lParam)));
      if (!look || !look->applied) return FALSE;
      HDC dc = reinterpret_cast<HDC>(wParam);
      ::SetTextColor(dc, look->style.m_crText);
      ::SetBkColor(dc, look->style.m_crBack);
      return reinterpret_cast<INT_PTR>(look->brush);
    }

    case WM_PAINT:
      if (!IsIconic(hwnd)) return FALSE;
      PaintIcon();
      return TRUE;

    case WM_QUERYDRAGICON:
      SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(m_hIcon));
      return TRUE;

    case WM_DPICHANGED:
      // After the dialog manager has rescaled the dialog, the fonts follow.
      PostMessageW(hwnd, kRefontMessage, 0, 0);
      return FALSE;

    case kRefontMessage:
      MakeFont(IDC_LOG);
      MakeFont(IDC_INPUT);
      return TRUE;

    case kNoticeMessage:
      MessageBox(Narrow(m_notice));
      return TRUE;

    case WM_DESTROY:
      OnClosing();  // however the dialog ends
      return FALSE;
  }
  return FALSE;
}

void DialogFrontend::PaintIcon() {
  HWND hwnd = m_hDlg.load();
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd, &paint);
  SendMessageW(hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rect;
  GetClientRect(hwnd, &rect);
  int x = (rect.right - rect.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  int y = (rect.bottom - rect.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(hwnd, &paint);
}

// A one-line static text in the gap between the log and the answer box
// (dialog units 7, 139, 305 x 12), hidden while there is nothing to say.
void DialogFrontend::MakeStatusStrip() {
  HWND hwnd = m_hDlg.load();
  RECT rect{7, 139, 7 + 305, 139 + 12};
  MapDialogRect(hwnd, &rect);
  HWND strip = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | SS_LEFTNOWORDWRAP | SS_NOPREFIX,
                               rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                               hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kStatusControl)),
                               m_instance, nullptr);
  if (strip) SendMessageW(strip, WM_SETFONT, SendMessageW(hwnd, WM_GETFONT, 0, 0), FALSE);
}

void DialogFrontend::SetStatus(const std::string& text) {
  HWND strip = Control(kStatusControl);
  if (!strip) return;
  SetWindowTextW(strip, Widen(SanitizeForDisplay(text)).c_str());
  ShowWindow(strip, text.empty() ? SW_HIDE : SW_SHOWNA);
}

DialogFrontend::Look* DialogFrontend::LookOf(int controlId) {
  if (controlId == IDC_LOG) return &m_looks[0];
  if (controlId == IDC_INPUT) return &m_looks[1];
  return nullptr;
}

HWND DialogFrontend::Control(int controlId) const {
  HWND hwnd = m_hDlg.load();
  return hwnd ? GetDlgItem(hwnd, controlId) : nullptr;
}

void DialogFrontend::SetNotice(const std::string& notice) { m_notice = Widen(SanitizeForDisplay(notice)); }

void DialogFrontend::AppendLog(std::string_view text) {
  HWND log = Control(IDC_LOG);
  if (!log) return;
  std::wstring wide = ForWindow(text);
  int length = GetWindowTextLengthW(log);
  if (length + static_cast<long long>(wide.size()) > kMaxLogChars) {
    // Drop the oldest half, up to a line end, so the newest lines stay.
    std::wstring all(static_cast<std::size_t>(length) + 1, L'\0');
    GetWindowTextW(log, all.data(), length + 1);
    std::size_t cut = all.find(L"\r\n", static_cast<std::size_t>(length) / 2);
    cut = cut == std::wstring::npos ? static_cast<std::size_t>(length) : cut + 2;
    SendMessageW(log, EM_SETSEL, 0, static_cast<LPARAM>(cut));
    SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    length = GetWindowTextLengthW(log);
  }
  SendMessageW(log, EM_SETSEL, length, length);
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
}

void DialogFrontend::ClearLog() {
  HWND log = Control(IDC_LOG);
  if (!log) return;
  SendMessageW(log, EM_SETSEL, 0, -1);
  SendMessageW(log, EM_SCROLLCARET, 0, 0);
  SendMessageW(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

void DialogFrontend::SelectInput() {
  HWND input = Control(IDC_INPUT);
  if (!input) return;
  SetFocus(input);
  SendMessageW(input, EM_SETSEL, 0, -1);
  SendMessageW(input, EM_SCROLLCARET, 0, 0);
}

void DialogFrontend::ClearInput() {
  HWND input = Control(IDC_INPUT);
  if (!input) return;
  SelectInput();
  SendMessageW(input, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

std::string DialogFrontend::GetInputText() {
  HWND input = Control(IDC_INPUT);
  if (!input) return std::string();
  int length = GetWindowTextLengthW(input);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  int got = GetWindowTextW(input, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
  return Narrow(text);
}

void DialogFrontend::MessageBox(const std::string& text) {
  HWND hwnd = m_hDlg.load();
  if (!hwnd) return;
  MessageBoxW(hwnd, ForWindow(text).c_str(), kBoxCaption, MB_OK);
}

void DialogFrontend::SetTitle(const std::string& title) {
  if (HWND hwnd = m_hDlg.load()) SetWindowTextW(hwnd, Widen(SanitizeForDisplay(title)).c_str());
}

void DialogFrontend::ApplyStyle(int controlId, const CColorEdit& style) {
  Look* look = LookOf(controlId);
  if (!look || !m_hDlg.load()) return;
  if (look->brush) DeleteObject(look->brush);
  look->brush = CreateSolidBrush(style.m_crBack);
  look->style = style;
  look->applied = true;
  if (style.m_bFontApplied) MakeFont(controlId);
  if (HWND control = Control(controlId)) InvalidateRect(control, nullptr, TRUE);
}

void DialogFrontend::MakeFont(int controlId) {
  Look* look = LookOf(controlId);
  HWND control = Control(controlId);
  if (!look || !look->applied || !look->style.m_bFontApplied || !control) return;
  const CColorEdit& style = look->style;
  if (look->face.empty()) look->face = ChooseFace(control, Widen(style.m_strFaceName));
  // The cell height is in pixels at 96 dots per inch.
  int height = MulDiv(style.m_nFontHeight, static_cast<int>(DpiOf(control)), 96);
  HFONT font = CreateFontW(height, 0, 0, 0, style.m_nWeight, style.m_bItalic != 0, style.m_bUnderline != 0,
                           style.m_bStrikeOut != 0, GB2312_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS,
                           PROOF_QUALITY, FF_SWISS | DEFAULT_PITCH, look->face.c_str());
  if (!font) {
    // The control keeps the font it has, and the console works on.
    MessageBoxW(control, L"字体不能创建!!!", L"字体创建错误", MB_OK | MB_ICONHAND);
    return;
  }
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (look->font) DeleteObject(look->font);
  look->font = font;
}

INT_PTR CALLBACK DialogFrontend::AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemTextW(hwnd, IDC_ABOUT_VERSION, Widen(AboutVersionLine()).c_str());
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
      }
      return FALSE;
  }
  return FALSE;
}

void DialogFrontend::ShowAbout() {
  if (HWND hwnd = m_hDlg.load()) {
    DialogBoxParamW(m_instance, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd, AboutProc, 0);
  }
}

// The window changes nothing outside itself that would need restoring.
void DialogFrontend::Shutdown() {
  if (m_diag) m_diag->Release();
}
