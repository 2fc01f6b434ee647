// vorn: the command-line host. It loads a scene, loads the exporter module through its exported
// functions as the host does, and runs the export.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/huge_pages.h"
#include "app/plugin_loader.h"
#include "app/scene_loader.h"
#include "app/terminal_dialog.h"
#include "importers/assimp_scene.h"
#include "host/scene_document.h"
#include "model/export_settings.h"
#include "platform/console_ui.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/paths.h"
#include "xformat/inspect.h"
#include "xformat/standard_templates.h"
#include "xformat/xfile_reader.h"

namespace {

constexpr const char* kSettingsFile = "vorn_max_config.ini";

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "vorn: %s\n", message.c_str());
  return status;
}

struct ExportArgs {
  std::string scene, output, configDir, plugin, importer = "auto";
  std::vector<std::string> mapsDirs, sets;
  bool silent = false, yes = false, selected = false, timings = false;
};

// The settings overlay lives for one export: in memory-backed storage where there is some (a
// folder made and removed on a journalled disk cost 0.25 ms, a fiftieth of a small export).
std::string ScratchFolder() {
  const char* bases[] = {std::getenv("XDG_RUNTIME_DIR"), std::getenv("TMPDIR"), "/dev/shm", "/tmp"};
  for (const char* base : bases) {
    if (!base || !*base) continue;
    std::string folder = std::string(base) + "/vorn-settings-XXXXXX";
    if (mkdtemp(folder.data())) return folder;
  }
  return {};
}

// Edits (insertions, deletions, replacements, case aside) that turn a into b.
size_t EditDistance(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// What is wrong with the export's arguments, before any file is read; empty when nothing is.
std::string ArgumentFault(const ExportArgs& a) {
  if (a.output.empty()) return "the output file name is empty";
  if (a.output.back() == '/') return "the output '" + a.output + "' names a folder, not a .X file";
  if (a.mapsDirs.size() > 2)
    return "--maps-dir names at most two folders (the host searches two besides the scene's own), not " +
           std::to_string(a.mapsDirs.size());
  for (const std::string& s : a.sets) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) return "--set needs KEY=VALUE, not '" + s + "'";
    const std::string_view key(s.data(), eq);
    if (vorn::IsSettingKey(key)) continue;
    std::string fault = "--set: '" + std::string(key) + "' is not a setting";
    std::string_view best;
    // Two edits at most, and fewer for short keys: a suggestion further off is more likely wrong.
    size_t bestEdits = std::min<size_t>(3, key.size() / 3 + 1);
    for (const vorn::OptionField& f : vorn::OptionFields())
      if (const size_t d = EditDistance(key, f.key); d < bestEdits) best = f.key, bestEdits = d;
    if (!best.empty()) fault += "; did you mean " + std::string(best) + "?";
    return fault;
  }
  return {};
}

double SecondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

int RunExport(const ExportArgs& a) {
  if (const std::string fault = ArgumentFault(a); !fault.empty()) return Fail(2, fault);
  const bool terminal = isatty(0) && isatty(2);
  const bool showDialog = !a.silent && !a.yes;
  if (showDialog && !terminal) return Fail(2, "no terminal for the options dialog; pass --silent or --yes");

  // --timings: the module reads VORN_TIMINGS and prints its own phases when it saves.
  if (a.timings) setenv("VORN_TIMINGS", "1", 1);
  const auto started = std::chrono::steady_clock::now();
  double loadSeconds = 0, buildEnd = 0, exportSeconds = 0;
  std::unique_ptr<vorn::SceneDocument> scene;
  std::vector<vorn::ImportedClip> clips;
  try {
    scene = vorn::app::LoadScene(a.scene, &clips, a.importer == "assimp");
  } catch (const std::exception& e) {
    return Fail(2, e.what());
  }
  loadSeconds = SecondsSince(started);

  std::string configDir = a.configDir.empty() ? vorn::platform::UserConfigDirectory() : a.configDir;
  if (configDir.empty() || !vorn::platform::CreateDirectories(configDir))
    return Fail(2, "cannot use the settings folder '" + configDir + "'");
  // An imported scene's animations become the clip list when neither the settings file nor
  // --set gives one; --set comes after them, so that it wins clip by clip.
  const bool ownClips = std::any_of(a.sets.begin(), a.sets.end(), [](const std::string& s) {
    return vorn::platform::SameProfileName(vorn::platform::TrimProfileText(s.substr(0, s.find('='))), "AnimationCount");
  });
  std::vector<std::string> sets;
  if (!ownClips) sets = vorn::ClipSettings(clips, configDir + "/" + kSettingsFile);
  sets.insert(sets.end(), a.sets.begin(), a.sets.end());

  // Overrides are applied to a private copy of the settings file, as if the file held them. The
  // copy goes back to the user's file only when the export itself saved it.
  std::string settingsDir = configDir;
  std::string overlayDir;
  if (!sets.empty()) {
    vorn::platform::IniFile ini;
    ini.Load(configDir + "/" + kSettingsFile);
    for (const std::string& s : sets) {
      const size_t eq = s.find('=');
      ini.Set("Option", s.substr(0, eq), s.substr(eq + 1));
    }
    overlayDir = ScratchFolder();
    if (overlayDir.empty()) return Fail(2, "cannot create a temporary folder");
    // A scratch copy, not flushed to disk as the settings file is: that costs more than a small export.
    if (!vorn::platform::WriteScratchFile(overlayDir + "/" + kSettingsFile, ini.Text())) {
      std::remove((overlayDir + "/" + kSettingsFile).c_str());
      rmdir(overlayDir.c_str());
      return Fail(2, "cannot write the settings overrides");
    }
    settingsDir = overlayDir;
  }
  scene->SetDirectory(vorn::kHostPluginConfigDir, settingsDir);
  if (!a.mapsDirs.empty()) scene->SetDirectory(vorn::kHostImageDir, a.mapsDirs[0]);
  if (a.mapsDirs.size() > 1) scene->SetDirectory(vorn::kHostMapSearchDir, a.mapsDirs[1]);

  vorn::platform::ConsoleUi ui(2);
  vorn::platform::TerminalDialogs dialogs;
  if (showDialog)
    scene->SetDialogRunner([&dialogs](vorn::DialogModel& dialog, vorn::DialogProcedure& procedure) {
      return dialogs.Run(dialog, procedure);
    });
  scene->SetMessageSink([&ui, &dialogs](const std::string& caption, const std::string& text, int icon) {
    if (dialogs.Active()) return dialogs.MessageBox(caption, text);
    ui.MessageBox(caption, text,
                  icon == 1 ? vorn::platform::MessageIcon::kError
                            : icon == 2 ? vorn::platform::MessageIcon::kWarning : vorn::platform::MessageIcon::kNone);
  });
  scene->SetProgressSink([&ui, &a, &buildEnd, started](vorn::ProgressEvent ev, int percent, const std::string& title) {
    if (a.timings && ev == vorn::ProgressEvent::Update && percent >= 95 && buildEnd == 0) buildEnd = SecondsSince(started);
    if (ev == vorn::ProgressEvent::Start) ui.ProgressStart(title);
    else if (ev == vorn::ProgressEvent::Update) ui.ProgressUpdate(percent);
    else ui.ProgressEnd();
  });

  const std::string overlayFile = overlayDir.empty() ? std::string() : overlayDir + "/" + kSettingsFile;
  int status;
  try {
    vorn::LoadedPlugin plugin(a.plugin.empty() ? vorn::DefaultPluginPath() : a.plugin);
    const double exportStart = SecondsSince(started);
    plugin.Exporter().DoExport(a.output.c_str(), nullptr, scene.get(), a.silent, a.selected ? 1u : 0u);
    ui.ProgressEnd();
    exportSeconds = SecondsSince(started) - exportStart;
    if (a.timings) {
      const double build = buildEnd > exportStart ? buildEnd - exportStart : 0;
      std::fprintf(stderr, "timings: %-22s %9.3f s\ntimings: %-22s %9.3f s\ntimings: %-22s %9.3f s\n", "scene load",
                   loadSeconds, "build (mesh, skin, anim)", build, "write", exportSeconds - build);
    }
    // The exporter answers success whatever happened; what it came to is reported to the host.
    const std::optional<vorn::ExportResult>& result = scene->LastExportResult();
    using Outcome = vorn::ExportResult::Outcome;
    if (result && result->outcome == Outcome::Cancelled)
      status = Fail(1, "export cancelled; nothing was written");
    else
      status = result && result->outcome == Outcome::Written ? 0 : Fail(1, "no .X file was written");
  } catch (const std::exception& e) {
    status = Fail(2, e.what());
  }
  if (!overlayFile.empty()) {
    // The user's settings file may be a link to where they keep it: write through it.
    if (scene->LastExportResult() && scene->LastExportResult()->settingsSaved)
      vorn::platform::CopyFileAtomic(overlayFile, configDir + "/" + kSettingsFile, true,
                                     vorn::platform::LinkPolicy::kFollowLink);
    std::remove(overlayFile.c_str());
    rmdir(overlayDir.c_str());
  }
  if (a.timings) std::fprintf(stderr, "timings: %-22s %9.3f s\n", "total", SecondsSince(started));
  return status;
}

int RunInspect(const std::string& path, bool json) {
  vorn::XFileTree tree;
  std::string error;
  if (!vorn::ReadXFileFromPath(path, vorn::XReadOptions{}, &tree, &error)) return Fail(2, error);  // names the path
  const std::string text = json ? vorn::InspectJson(tree) : vorn::InspectText(tree);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int RunTemplates(bool binary) {
  if (binary) {
    auto block = vorn::StandardTemplatesBinary();
    std::fwrite(block.data(), 1, block.size(), stdout);
    return 0;
  }
  const std::string text = vorn::TemplatesText(vorn::StandardRegistry());
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vorn::app::RestartWithHugePages(argc, argv);
  CLI::App app{"vorn: exports scenes to DirectX .X files through the Vorn exporter module"};
  app.set_version_flag("--version", std::string("vorn 2.2.8"));
  app.require_subcommand(1);

  ExportArgs ea;
  CLI::App* exp = app.add_subcommand("export", "export a scene into a .X file");
  exp->add_option("scene", ea.scene, "a .json scene document, a .gltf or .glb file, or a file assimp reads (.fbx, .dae, .obj, ...)")
      ->required();
  exp->add_option("output", ea.output, "the .X file to write")->required();
  auto* silent = exp->add_flag("--silent", ea.silent, "silent export: no dialog, settings loaded but not saved");
  exp->add_flag("--yes", ea.yes, "confirm the options dialog as loaded without showing it")->excludes(silent);
  exp->add_flag("--selected", ea.selected, "export only the selected nodes");
  exp->add_flag("--timings", ea.timings, "print on stderr where the export spends its time");
  exp->add_option("--config-dir", ea.configDir, "folder holding vorn_max_config.ini");
  // One value each time they are given, so that the scene and output may follow them.
  exp->add_option("--maps-dir", ea.mapsDirs, "one or two texture folders searched after the scene's own folder")
      ->allow_extra_args(false);
  exp->add_option("--set", ea.sets, "override one setting, KEY=VALUE, as if the settings file held it")
      ->allow_extra_args(false);
  exp->add_option("--plugin", ea.plugin, "the exporter module (default: vorn.dle beside vorn)");
  exp->add_option("--importer", ea.importer,
                  "auto: .gltf, .glb, .bvh, .x, .dae and .zae through vorn's own readers, other files through assimp; "
                  "assimp: every file through assimp")
      ->check(CLI::IsMember({"auto", "assimp"}));

  std::string inspectPath;
  bool inspectJson = false;
  CLI::App* ins = app.add_subcommand("inspect", "print the object tree of a .X file");
  ins->add_option("file", inspectPath, "a .X file in any encoding")->required();
  ins->add_flag("--json", inspectJson, "print JSON");

  bool templatesBinary = false;
  CLI::App* tpl = app.add_subcommand("templates", "print the registered template definitions");
  tpl->add_flag("--binary", templatesBinary, "write the standard set in the binary template encoding");

  // A mistyped command would otherwise read as "A subcommand is required".
  if (argc > 1 && argv[1][0] != '-' && std::strcmp(argv[1], "export") != 0 && std::strcmp(argv[1], "inspect") != 0 &&
      std::strcmp(argv[1], "templates") != 0) {
    std::fprintf(stderr, "vorn: unknown command '%s' (export, inspect or templates; --help lists them)\n", argv[1]);
    return 2;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (*exp) return RunExport(ea);
  if (*ins) return RunInspect(inspectPath, inspectJson);
  if (*tpl) return RunTemplates(templatesBinary);
  return 2;
}
