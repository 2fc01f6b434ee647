// Where the export writes: texture and effect names that try to leave the output folder, output
// folders that are missing, read-only or full.
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "reliability_fixture.h"
#include "xformat/xfile_reader.h"
#include "xformat/xfile_tree.h"

namespace vorn_reliability {
namespace {

std::string Textured(const std::string& file, const std::string& effectFile = "", const std::string& nodeName = "Tri") {
  std::string m = R"({"type": "standard", "maps": {"diffuse": {"type": "bitmap", "file": )" + file + "}}}";
  if (!effectFile.empty())
    m = R"({"type": "shader", "name": "../../fxname", "effectFile": )" + effectFile +
        R"(, "paramBlocks": [[{"name": "Tex", "type": "bitmap", "value": )" + file + "}]]}";
  return R"({"nodes": [{"name": ")" + nodeName + R"(", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
      "faces": [[0,1,2]], "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]}}},
      "material": )" + m + "}]}";
}

class TexturePaths : public VornRun {
 protected:
  void SetUp() override {
    VornRun::SetUp();
    fs::create_directories(dir_ / "in" / "sub");
    fs::copy_file(fs::path(VORN_SOURCE_DIR) / "examples/textures/crate_diffuse.png", dir_ / "in/sub/evil.png");
    fs::copy_file(fs::path(VORN_SOURCE_DIR) / "examples/textures/glow.fx", dir_ / "in/sub/evil.fx");
  }
  // Exports and checks that nothing outside out/ appeared or changed.
  void ExportStaysInside(const std::string& json, const std::string& extra = "") {
    const fs::path doc = Doc(json);
    const auto before = FilesOutsideOut();
    const int rc = Export(doc, extra);
    EXPECT_EQ(rc, 0) << stderr_;
    EXPECT_EQ(FilesOutsideOut(), before);
    EXPECT_FALSE(fs::exists("/evil.png"));
    EXPECT_FALSE(fs::exists(fs::temp_directory_path() / "evil.png"));
  }
};

TEST_F(TexturePaths, CopiesNeverLeaveTheOutputFolder) {
  const std::string sub = (dir_ / "in" / "sub").string();
  for (const std::string& file :
       {std::string(R"("..\\..\\evil.png")"), std::string(R"("../../evil.png")"), R"(")" + sub + R"(/evil.png")",
        R"(")" + sub + R"(/../sub/evil.png")", std::string(R"("C:\\..\\..\\..\\evil.png")"),
        std::string(R"("sub/../../../evil.png")"), std::string(R"("..")"), std::string(R"(".")"),
        std::string(R"("\\")"), std::string(R"("/")"), std::string(R"("")")}) {
    SCOPED_TRACE(file);
    ExportStaysInside(Textured(file));
    ExportStaysInside(Textured(file), "--set TextureConvert=1 --set TextureFormat=1");
  }
  // An absolute source is copied under its bare name into the output folder.
  ExportStaysInside(Textured(R"(")" + sub + R"(/evil.png")"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "evil.png"));
}

TEST_F(TexturePaths, EffectFilesNeverLeaveTheOutputFolder) {
  const std::string sub = (dir_ / "in" / "sub").string();
  for (const std::string& fx : {R"(")" + sub + R"(/evil.fx")", std::string(R"("..\\..\\evil.fx")"),
                                std::string(R"("../../evil.fx")"), std::string(R"("/")")}) {
    SCOPED_TRACE(fx);
    ExportStaysInside(Textured(R"("..\\evil.png")", fx), "--set DxFx=1");
    ExportStaysInside(Textured(R"("..\\evil.png")", fx, "../../node"), "--set DxFx=1");
  }
  for (const auto& e : fs::directory_iterator(dir_ / "out")) EXPECT_EQ(e.path().parent_path(), dir_ / "out");
}

// A link planted in the output folder is replaced by the exported file; what it points at is kept.
TEST_F(TexturePaths, LinksInTheOutputFolderAreNotFollowed) {
  WriteText(dir_ / "in" / "victim", "victim");
  fs::create_symlink(dir_ / "in" / "victim", dir_ / "out" / "evil.png");
  fs::create_symlink(dir_ / "in" / "victim", Out());
  ExportStaysInside(Textured(R"(")" + (dir_ / "in" / "sub").string() + R"(/evil.png")"), "--set OverwriteTexture=1");
  EXPECT_EQ(Read(dir_ / "in" / "victim"), "victim");
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Out())));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_ / "out" / "evil.png")));
  EXPECT_EQ(fs::file_size(dir_ / "out" / "evil.png"), fs::file_size(dir_ / "in" / "sub" / "evil.png"));
}

// A texture that cannot be written is named on stderr; the .X is still written.
TEST_F(TexturePaths, FailedTextureWritesAreReported) {
  const std::string src = R"(")" + (dir_ / "in" / "sub").string() + R"(/evil.png")";
  fs::create_directories(dir_ / "out" / "evil.png");
  fs::create_directories(dir_ / "out" / "evil.tga");
  for (const char* extra : {"", "--set TextureConvert=1 --set TextureFormat=2"}) {
    SCOPED_TRACE(extra);
    fs::remove(Out());
    EXPECT_EQ(Export(Doc(Textured(src)), std::string("--set OverwriteTexture=1 ") + extra), 0) << stderr_;
    EXPECT_TRUE(fs::exists(Out()));
    EXPECT_NE(stderr_.find("could not write"), std::string::npos) << stderr_;
    EXPECT_NE(stderr_.find(*extra ? "evil.tga" : "evil.png"), std::string::npos) << stderr_;
  }
  // Overwriting off: an existing texture is kept silently.
  fs::remove(dir_ / "out" / "evil.png");
  WriteText(dir_ / "out" / "evil.png", "mine");
  EXPECT_EQ(Export(Doc(Textured(src)), "--set OverwriteTexture=0"), 0) << stderr_;
  EXPECT_EQ(stderr_.find("could not write"), std::string::npos) << stderr_;
  EXPECT_EQ(Read(dir_ / "out" / "evil.png"), "mine");
}

// A 24-bit BMP in one colour, bottom row first.
std::string SolidBmp(int w, int h) {
  const int row = (w * 3 + 3) & ~3;
  std::string out = "BM";
  auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(char(v >> (8 * i)));
  };
  put(uint32_t(54 + row * h), 4);
  put(0, 4);
  put(54, 4);
  put(40, 4);
  put(uint32_t(w), 4);
  put(uint32_t(h), 4);
  put(1, 2);
  put(24, 2);
  for (int i = 0; i < 6; ++i) put(0, 4);
  for (int y = 0; y < h; ++y) out += std::string(size_t(w) * 3, char(0x40)) + std::string(size_t(row - w * 3), '\0');
  return out;
}

// Every file name the .X gives a texture or an effect (TextureFilename, EffectInstance and the
// value of EffectParamString), in file order; only those of TextureFilename without effects.
std::vector<std::string> NamedFiles(const fs::path& x, bool effects = true) {
  vorn::XFileTree tree;
  std::string error;
  std::vector<std::string> names;
  if (!vorn::ReadXFileFromPath(x.string(), {}, &tree, &error)) {
    ADD_FAILURE() << x << ": " << error;
    return names;
  }
  for (const vorn::XTreeObject& o : tree.objects) {
    if (o.isReference) continue;
    const std::string kind = tree.TemplateOf(o)->name;
    auto d = tree.Data(o);
    const std::string bytes(d.begin(), d.end());
    if (kind == "TextureFilename" || (effects && kind == "EffectInstance"))
      names.push_back(bytes.substr(0, bytes.find('\0')));
    if (effects && kind == "EffectParamString") {
      const size_t value = bytes.find('\0') + 1;
      names.push_back(bytes.substr(value, bytes.find('\0', value) - value));
    }
  }
  return names;
}

// The file names the .X file gives its textures, in file order.
std::vector<std::string> TextureNames(const fs::path& x) { return NamedFiles(x, false); }

// Exported into the folder that holds its textures, as the scene's own folder or through a link
// to it: the sources stay byte for byte, the file names files that are there, and stderr says
// which texture was kept unconverted.
TEST_F(TexturePaths, TexturesBesideTheSceneAreOnlyRead) {
  WriteText(dir_ / "in" / "odd.bmp", SolidBmp(30, 20));
  // A JPEG of our own making, by a first export elsewhere.
  const std::string odd = R"("C:\\maps\\odd.bmp")";
  ASSERT_EQ(Export(Doc(Textured(odd)), "--set TextureConvert=1 --set TextureFormat=3"), 0) << stderr_;
  fs::copy_file(dir_ / "out" / "odd.jpg", dir_ / "in" / "photo.jpg");
  const std::string doc = R"({"nodes": [{"name": "Tri", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]],
      "faces": [[0,1,2,0,0],[0,2,1,0,1]], "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2],[0,2,1]]}}},
      "material": {"type": "multi", "subMaterials": [
        {"type": "standard", "name": "Odd", "maps": {"diffuse": {"type": "bitmap", "file": "C:\\maps\\odd.bmp"}}},
        {"type": "standard", "name": "Photo",
         "maps": {"diffuse": {"type": "bitmap", "file": "C:\\maps\\photo.jpg"}}}]}}]})";
  const fs::path scene = Doc(doc);
  fs::create_directory_symlink(dir_ / "in", dir_ / "link");
  const std::string oddBytes = Read(dir_ / "in" / "odd.bmp"), photoBytes = Read(dir_ / "in" / "photo.jpg");
  struct Case {
    const char* set;
    std::vector<std::string> names;  // what the .X names
    std::vector<std::string> kept;   // the sources told as kept
  };
  for (const Case& c : {Case{"--set PowerOf2=1", {"odd.bmp", "photo.jpg"}, {"odd.bmp", "photo.jpg"}},
                        Case{"--set TextureConvert=1 --set TextureFormat=3", {"odd.jpg", "photo.jpg"}, {}},
                        Case{"--set TextureConvert=1 --set TextureFormat=4 --set PowerOf2=1", {"odd.bmp", "photo.bmp"},
                             {"odd.bmp"}}}) {
    for (const char* folder : {"in", "link"}) {
      for (const char* type : {"0", "1", "2"}) {
        SCOPED_TRACE(std::string(c.set) + " into " + folder + ", XFileType " + type);
        const fs::path x = dir_ / folder / "scene.x";
        EXPECT_EQ(Run("export " + scene.string() + " " + x.string() + " --silent --config-dir " +
                      (dir_ / "cfg").string() + " " + c.set + " --set XFileType=" + type),
                  0)
            << stderr_;
        EXPECT_TRUE(Read(dir_ / "in" / "odd.bmp") == oddBytes);
        EXPECT_TRUE(Read(dir_ / "in" / "photo.jpg") == photoBytes);
        EXPECT_EQ(TextureNames(x), c.names);
        for (const std::string& name : c.names) EXPECT_TRUE(fs::is_regular_file(dir_ / "in" / name)) << name;
        for (const std::string& kept : c.kept)
          EXPECT_NE(stderr_.find(kept + "' kept unconverted"), std::string::npos) << stderr_;
        EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), std::ptrdiff_t(c.kept.size())) << stderr_;
      }
    }
    for (const char* made : {"odd.jpg", "photo.bmp"}) fs::remove(dir_ / "in" / made);
  }
}

// A texture found nowhere: one line naming the host path and the folders searched, not a failed
// write; the export goes on.
TEST_F(TexturePaths, ATextureFoundNowhereIsToldOnceWithTheFoldersSearched) {
  fs::create_directories(dir_ / "maps");
  const std::string doc = R"({"nodes": [
      {"name": "A", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]],
       "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]}}}, "material": "lost"},
      {"name": "B", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]],
       "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]}}}, "material": "lost"}],
    "materials": {"lost": {"type": "standard", "name": "Lost",
                           "maps": {"diffuse": {"type": "bitmap", "file": "C:\\maps\\lost.png"}}}}})";
  for (const char* extra : {"", "--set InlineMtl=1", "--set TextureConvert=1"}) {
    for (const char* type : {"0", "1", "2"}) {
      SCOPED_TRACE(std::string(extra) + " XFileType " + type);
      EXPECT_EQ(Export(Doc(doc), std::string(extra) + " --set XFileType=" + type + " --maps-dir " +
                                     (dir_ / "maps").string()),
                0);
      EXPECT_EQ(stderr_, "vorn: texture 'C:\\maps\\lost.png' not found: looked for 'lost.png' in '" +
                             (dir_ / "in").string() + "/', '" + (dir_ / "maps").string() + "/' and their subfolders\n");
      const size_t copies = std::string(extra).find("Inline") != std::string::npos ? 2 : 1;
      EXPECT_EQ(TextureNames(Out()), std::vector<std::string>(copies, "lost.png")) << "named as before";
    }
  }
  // A path that names a folder is said to be one, not written or searched for as a file.
  fs::create_directories(dir_ / "in" / "folder.png");
  EXPECT_EQ(Export(Doc(R"({"nodes": [{"name": "A", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]},
      "material": {"type": "standard", "maps": {"diffuse": {"type": "bitmap", "file": ")" +
                       (dir_ / "in" / "folder.png").string() + R"("}}}}]})"),
                   "--set TextureConvert=1"),
            0);
  EXPECT_EQ(stderr_, "vorn: texture '" + (dir_ / "in" / "folder.png").string() + "' is a folder, not a file\n");
}

// Exported into the folder that holds its sources: a conversion, a generated effect or a copied
// effect file whose name is another material's source goes under the next free name, every source
// stays byte for byte, and every name in the .X is a file of the content it claims.
TEST_F(TexturePaths, NoOutputReplacesAnotherMaterialsSource) {
  fs::copy_file(fs::path(VORN_SOURCE_DIR) / "examples/textures/crate_diffuse.png", dir_ / "in" / "wood.png");
  WriteText(dir_ / "in" / "wood.bmp", SolidBmp(30, 20));
  fs::copy_file(fs::path(VORN_SOURCE_DIR) / "examples/textures/glow.fx", dir_ / "in" / "Glow.fx");
  fs::create_directories(dir_ / "else");
  WriteText(dir_ / "else" / "Glow.fx", "// an effect of the same name from elsewhere\n");
  const std::string mesh = R"({"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2,0,0],[0,2,1,0,1]],
      "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2],[0,2,1]]}}})";
  auto shader = [&](const std::string& effect) {
    return R"({"type": "shader", "name": "Sh", "effectFile": )" + effect +
           R"(, "effectBitmaps": [{"path": "C:\\maps\\wood.png", "channel": 1}],
               "paramBlocks": [[{"name": "Tex", "type": "bitmap", "value": "C:\\maps\\wood.bmp"}]]})";
  };
  const std::string doc = R"({"nodes": [
      {"name": "Tri", "mesh": )" + mesh + R"(, "material": {"type": "multi", "subMaterials": [
        {"type": "standard", "name": "A", "maps": {"diffuse": {"type": "bitmap", "file": "C:\\maps\\wood.bmp"}}},
        {"type": "standard", "name": "B", "maps": {"diffuse": {"type": "bitmap", "file": "C:\\maps\\wood.png"}}}]}},
      {"name": "Glow", "mesh": )" + mesh + R"(, "material": {"type": "standard", "name": "G", "maps": {
        "diffuse": {"type": "bitmap", "file": "C:\\maps\\wood.png"},
        "bump": {"type": "bitmap", "file": "C:\\maps\\wood.bmp"}}}},
      {"name": "Own", "mesh": )" + mesh + ", \"material\": " + shader(R"("C:\\fx\\Glow.fx")") + R"(},
      {"name": "Other", "mesh": )" + mesh + ", \"material\": " +
                          shader("\"" + (dir_ / "else" / "Glow.fx").string() + "\"") + "}]}";
  const fs::path scene = Doc(doc);
  const std::string wood = Read(dir_ / "in" / "wood.png"), bmp = Read(dir_ / "in" / "wood.bmp"),
                    glow = Read(dir_ / "in" / "Glow.fx");
  for (const char* type : {"0", "1", "2"}) {
    SCOPED_TRACE(std::string("XFileType ") + type);
    const fs::path x = dir_ / "in" / "scene.x";
    EXPECT_EQ(Run("export " + scene.string() + " " + x.string() + " --silent --config-dir " + (dir_ / "cfg").string() +
                  " --set FX=1 --set TextureConvert=1 --set TextureFormat=1 --set XFileType=" + type),
              0)
        << stderr_;
    EXPECT_TRUE(Read(dir_ / "in" / "wood.png") == wood);
    EXPECT_TRUE(Read(dir_ / "in" / "wood.bmp") == bmp);
    EXPECT_EQ(Read(dir_ / "in" / "Glow.fx"), glow);
    const std::vector<std::string> names = NamedFiles(x);
    EXPECT_EQ(names, (std::vector<std::string>{"wood_1.png", "wood.png", "Glow_1.fx", "wood.png", "wood_1.png",
                                               "Glow.fx", "wood_1.png", "Glow_2.fx", "wood_1.png"}));
    for (const std::string& name : names) EXPECT_TRUE(fs::is_regular_file(dir_ / "in" / name)) << name;
    // The converted BMP, 30 pixels wide in its PNG header; the generated effect; the other effect.
    const std::string png = Read(dir_ / "in" / "wood_1.png");
    EXPECT_EQ(png.substr(1, 3), "PNG");
    EXPECT_EQ(png.size() > 20 ? uint8_t(png[19]) : 0, 30);
    EXPECT_EQ(Read(dir_ / "in" / "Glow_1.fx").rfind("//TODO", 0), 0u);
    EXPECT_EQ(Read(dir_ / "in" / "Glow_2.fx"), Read(dir_ / "else" / "Glow.fx"));
    const std::string source = "' in the output folder is a source of this export and is only read";
    for (const std::string& line :
         {"texture '" + (dir_ / "in").string() + "/wood.bmp' written as 'wood_1.png': 'wood.png" + source,
          "generated effect 'Glow.fx' written as 'Glow_1.fx': 'Glow.fx" + source,
          "effect file '" + (dir_ / "else").string() + "/Glow.fx' written as 'Glow_2.fx': 'Glow.fx" + source})
      EXPECT_NE(stderr_.find("vorn: " + line), std::string::npos) << line << "\n" << stderr_;
    // wood.png converted to png would be itself: kept without a word, as nothing is lost.
    EXPECT_EQ(std::count(stderr_.begin(), stderr_.end(), '\n'), 3) << "each told once: " << stderr_;
  }
}

// A shader material's effect file found nowhere is told as textures are: once, by the host path,
// with the folders searched; the .X names it all the same and the export goes on.
TEST_F(TexturePaths, AnEffectFileFoundNowhereIsToldOnceWithTheFoldersSearched) {
  const std::string node = R"({"name": "N", "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]],
      "maps": {"1": {"vertices": [[0,0],[1,0],[0,1]], "faces": [[0,1,2]]}}}, "material": "gone"})";
  std::string second = node;
  second.replace(second.find("\"N\""), 3, "\"M\"");
  const std::string doc = R"({"nodes": [)" + node + ", " + second + R"(],
    "materials": {"gone": {"type": "shader", "name": "Gone", "effectFile": "C:\\fx\\gone.fx",
      "effectBitmaps": [{"path": "C:\\maps\\evil.png", "channel": 1}], "paramBlocks": [[]]}}})";
  for (const char* type : {"0", "1", "2"}) {
    SCOPED_TRACE(std::string("XFileType ") + type);
    EXPECT_EQ(Export(Doc(doc), std::string("--set XFileType=") + type), 0);
    EXPECT_EQ(stderr_, "vorn: effect file 'C:\\fx\\gone.fx' not found: looked for 'gone.fx' in '" +
                           (dir_ / "in").string() + "/' and its subfolders\n");
    EXPECT_EQ(NamedFiles(Out()), (std::vector<std::string>{"gone.fx", "gone.fx"})) << "one per node, named as before";
  }
}

TEST_F(VornRun, MissingOutputFolderIsReported) {
  const std::string out = (dir_ / "nothere" / "deeper" / "scene.x").string();
  EXPECT_EQ(Run("export " + Doc(Triangle()).string() + " " + out + " --silent --config-dir " + (dir_ / "cfg").string()),
            1);
  EXPECT_NE(stderr_.find("nothere/deeper"), std::string::npos) << stderr_;
  EXPECT_FALSE(fs::exists(dir_ / "nothere"));
}

// A node scaled to nothing at the start (a pop-in) takes its mesh into its frame with the object
// offset of the first frame it has volume at; one that has none at any frame is said by name.
TEST_F(VornRun, AMeshWithoutVolumeAtTheStartKeepsItsShape) {
  const std::string popIn = R"("transform": {"translation": [0, 0, 4]}, "objectOffset": {"translation": [0, 0, 1]},
      "controller": {"scale": {"keys": [[0, 0, 0, 0], [4800, 1, 1, 1]]}})";
  EXPECT_EQ(Export(Doc(Triangle(popIn)), "--set XFileType=0"), 0) << stderr_;
  EXPECT_EQ(stderr_, "");
  const std::string text = Read(Out());
  EXPECT_NE(text.find("0.0;1.0;0.0;,\n  0.0;1.0;1.0;,\n  1.0;1.0;0.0;;"), std::string::npos)
      << "the triangle one up from its frame (host z is the file's y):\n" << text.substr(text.find("Mesh Tri"), 120);
  EXPECT_EQ(Export(Doc(Triangle(R"("transform": {"scale": [0, 0, 0]})"))), 0);
  EXPECT_EQ(stderr_, "vorn: node 'Tri' has no volume at the start of the range (a scale of 0) nor at any frame "
                     "after: its mesh cannot be taken into its frame and is written collapsed\n");
  EXPECT_TRUE(fs::exists(Out()));
}

TEST_F(VornRun, OutputUnderAFileIsReported) {
  WriteText(dir_ / "out" / "plain", "a file, not a folder");
  const std::string out = (dir_ / "out" / "plain" / "scene.x").string();
  EXPECT_EQ(Run("export " + Doc(Triangle()).string() + " " + out + " --silent --config-dir " + (dir_ / "cfg").string()),
            1);
  EXPECT_NE(stderr_.find("vorn: "), std::string::npos);
  EXPECT_EQ(Read(dir_ / "out" / "plain"), "a file, not a folder");
}

TEST_F(VornRun, OutputPathThatIsAFolderIsReported) {
  fs::create_directories(dir_ / "out" / "scene.x");
  EXPECT_EQ(Export(Doc(Triangle())), 1) << stderr_;
  EXPECT_NE(stderr_.find("scene.x is a folder"), std::string::npos) << stderr_;
  EXPECT_TRUE(fs::is_directory(Out()));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator()), 1);
}

// Folders on their own small file system: read-only, or almost full. The tests need to be root
// and allowed to mount; elsewhere they say so and skip.
class Mounted : public VornRun {
 protected:
  bool Mount(const std::string& options) {
    mnt_ = dir_ / "out";
    if (::mount("tmpfs", mnt_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      reason_ = std::string("mount -t tmpfs failed: ") + std::strerror(errno);
      return false;
    }
    mounted_ = true;
    return true;
  }
  void Remount(unsigned long flags, const std::string& options) {
    ASSERT_EQ(::mount("tmpfs", mnt_.c_str(), "tmpfs", MS_REMOUNT | flags, options.c_str()), 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (mounted_) ::umount2(mnt_.c_str(), MNT_DETACH);
    VornRun::TearDown();
  }
  // Takes all the free space but `leave` bytes.
  void Fill(size_t leave) {
    const fs::space_info s = fs::space(mnt_);
    std::ofstream out(mnt_ / "filler", std::ios::binary);
    const std::string block(1024, 'f');
    for (size_t n = 0; n + leave < s.available; n += block.size()) out.write(block.data(), std::streamsize(block.size()));
  }
  // A mesh big enough to fill a few hundred kilobytes of .X.
  fs::path BigMesh() {
    std::string v, f;
    const int n = 60;
    for (int y = 0; y <= n; ++y)
      for (int x = 0; x <= n; ++x) v += (v.empty() ? "" : ",") + ("[" + std::to_string(x) + "," + std::to_string(y) + ",0]");
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        const int a = y * (n + 1) + x;
        f += (f.empty() ? "" : ",") + ("[" + std::to_string(a) + "," + std::to_string(a + 1) + "," +
                                       std::to_string(a + n + 2) + ",1]");
      }
    return Doc(R"({"nodes": [{"name": "Grid", "mesh": {"vertices": [)" + v + "], \"faces\": [" + f + "]}}]}");
  }
  fs::path mnt_;
  bool mounted_ = false;
  std::string reason_;
};

TEST_F(Mounted, ReadOnlyFolderIsReportedAndTheOldFileKept) {
  if (!Mount("size=1m")) GTEST_SKIP() << reason_;
  PlantPrevious();
  Remount(MS_RDONLY, "size=1m");
  EXPECT_EQ(Export(Doc(Triangle())), 1) << stderr_;
  EXPECT_NE(stderr_.find("scene.x"), std::string::npos) << stderr_;
  EXPECT_TRUE(Read(Out()) == kPrevious);
}

TEST_F(Mounted, FullDiskLeavesTheOldFileAndNoLeftovers) {
  if (!Mount("size=256k")) GTEST_SKIP() << reason_;
  PlantPrevious();
  Fill(16 * 1024);
  for (const char* type : {"0", "1", "2"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(Export(BigMesh(), std::string("--set XFileType=") + type), 1) << stderr_;
    EXPECT_NE(stderr_.find("scene.x"), std::string::npos) << stderr_;
    EXPECT_TRUE(Read(Out()) == kPrevious);
    EXPECT_EQ(std::distance(fs::directory_iterator(mnt_), fs::directory_iterator{}), 2) << "a temporary was left";
  }
  // With room again the same export goes through.
  fs::remove(mnt_ / "filler");
  Remount(0, "size=8m");
  EXPECT_EQ(Export(BigMesh(), "--set XFileType=0"), 0) << stderr_;
  EXPECT_EQ(Read(Out()).substr(0, 16), "xof 0303txt 0032");
}

}  // namespace
}  // namespace vorn_reliability
