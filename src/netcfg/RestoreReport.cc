#include "netcfg/RestoreReport.h"

namespace {

std::string OrNone(const std::string& addresses) { return addresses.empty() ? "无地址" : addresses; }

}  // namespace

std::string ChangedAdapterLine(const std::string& name, const std::string& now, const std::string& own,
                               bool journaled, const std::string& restoreCommand,
                               const std::string& keptIn, const std::string& byHand) {
  std::string line = "网卡 " + name + " 现为 " + OrNone(now) + "，原有设置（" + OrNone(own) + "）尚未还原";
  if (journaled) return line + "；请运行 " + restoreCommand + " 还原\n";
  return line + "，且无法保存（" + (keptIn.empty() ? std::string("没有状态目录") : keptIn) + "）；请用" + byHand +
         "还原\n";
}

std::string NothingToRestoreLine() { return "没有需要还原的网卡设置。\n"; }

std::string RestoredLine(const std::string& name, const std::string& own) {
  return "网卡 " + name + " 已还原原有设置" + (own.empty() ? "" : "（" + own + "）") + "。\n";
}

std::string OtherNamespaceLine(const std::string& name) {
  return "网卡 " + name + " 的记录属于另一个网络命名空间，未处理。\n";
}

std::string NotRestoredLines(const std::string& name, const std::string& journalPath, const std::string& reason,
                             const std::vector<std::string>& commands) {
  std::string out = "网卡 " + name + " 未能还原，记录保留在 " + journalPath + "：\n  " + reason + "\n";
  if (!commands.empty()) {
    out += "管理员可运行以下命令补全：\n";
    for (const std::string& command : commands) out += "  " + command + "\n";
  }
  return out;
}
