#include "ui/LineFrontend.h"

#include "console/Text.h"
#include "console/UiBridge.h"
#include "ui/About.h"

namespace {

// While the diagnostics have not been reported, line mode looks at them this
// often, so their path shows soon after something was written.
constexpr int kDiagnosticsLookMs = 500;

// The log's text for a line-oriented reader: "\r\n" becomes "\n", and
// nothing that a terminal would act on gets through (tabs stay).
std::string ForOutput(std::string_view text) {
  std::string out;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\n\t", start);
    std::string_view piece = text.substr(start, end == std::string_view::npos ? end : end - start);
    bool crlf = end != std::string_view::npos && text[end] == '\n' && !piece.empty() && piece.back() == '\r';
    if (crlf) piece.remove_suffix(1);
    out += SanitizeForDisplay(piece);
    if (end == std::string_view::npos) break;
    out += text[end];
    start = end + 1;
  }
  return out;
}

// A message box's text on one line.
std::string OneLine(const std::string& text) {
  std::string flat;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    flat += text[i] == '\n' || text[i] == '\r' ? ' ' : text[i];
  }
  return SanitizeForDisplay(flat);
}

}  // namespace

LineFrontend::LineFrontend(std::shared_ptr<LineChannel> channel) : m_channel(std::move(channel)) {}

LineFrontend::~LineFrontend() = default;

int LineFrontend::Run(UiBridge& bridge, const FrontendCallbacks& callbacks) {
  if (!m_channel || !m_channel->Valid()) return 1;
  m_bridge = &bridge;
  bridge.AttachUiThread();
  // The bridge may still hold the callback when this object is gone.
  bridge.SetWakeup([channel = m_channel] { channel->Wake(); });
  m_channel->CatchCancel();
  if (!m_notice.empty()) m_channel->WriteErr(m_notice + "\n");
  if (m_diag) {
    m_channel->KeepErrorOutput();
    m_diag->Capture(false);
  }
  if (callbacks.onInit) callbacks.onInit();
  std::string line;
  while (NextLine(line)) {
    m_input = std::move(line);  // the line replaces whatever the box held
    if (callbacks.onEnter) callbacks.onEnter();
  }
  bridge.Close();
  bridge.SetWakeup(nullptr);
  Shutdown();
  return 0;
}

void LineFrontend::Shutdown() {
  if (m_channel) m_channel->ReleaseCancel();
  if (!m_diag) return;
  ReportDiagnostics();
  m_diag->Release();
  m_diag = nullptr;
}

void LineFrontend::ReportDiagnostics() {
  if (!m_diag || m_bDiagReported || !m_diag->Written()) return;
  m_bDiagReported = true;
  std::string path = m_diag->Path();
  m_channel->WriteErr("brickfix: 诊断信息已写入 " + path + "\n");
}

void LineFrontend::AppendLog(std::string_view text) { m_channel->WriteOut(ForOutput(text)); }

void LineFrontend::MessageBox(const std::string& text) {
  if (m_bCancelled) return;
  m_channel->WriteOut("[MessageBox] " + OneLine(text) + "\n");
  std::string ok;
  NextLine(ok);
}

void LineFrontend::ShowAbout() {
  MessageBox(std::string(kAboutTitle) + ": " + kAboutName + ", " + AboutVersionLine());
}

bool LineFrontend::NextLine(std::string& line) {
  for (;;) {
    if (m_bridge) m_bridge->Drain();
    ReportDiagnostics();
    if (m_bCancelled) return false;
    if (!m_lines.empty()) {
      line = std::move(m_lines.front());
      m_lines.pop_front();
      return true;
    }
    if (m_bEof) {
      m_bCancelled = true;
      return false;
    }
    WaitForInput();
  }
}

void LineFrontend::WaitForInput() {
  // Until the diagnostics have been reported, look at them now and then.
  bool watching = m_diag && !m_bDiagReported;
  LineChannel::Input input = m_channel->Wait(watching ? kDiagnosticsLookMs : -1);
  if (input.cancel) m_bCancelled = true;
  TakeInput(input.data);
  if (input.end) {
    // A last line without a line end still counts as a line.
    if (!m_partial.empty()) EndLine();
    m_bEof = true;
  }
}

void LineFrontend::TakeInput(std::string_view data) {
  while (!data.empty()) {
    std::size_t nl = data.find('\n');
    std::string_view piece = data.substr(0, nl);
    if (!m_bDropping) {
      std::size_t room = kMaxLineBytes - m_partial.size();
      m_partial.append(piece.substr(0, room));
      m_bDropping = piece.size() > room;
    }
    if (nl == std::string_view::npos) break;
    EndLine();
    data.remove_prefix(nl + 1);
  }
}

void LineFrontend::EndLine() {
  // Lines from a file with CR LF line ends mean the same.
  if (!m_partial.empty() && m_partial.back() == '\r') m_partial.pop_back();
  m_lines.push_back(std::move(m_partial));
  m_partial.clear();
  m_bDropping = false;
}
