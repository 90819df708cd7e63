// The Dart API against the channel: the method names it calls, the map keys it sends and
// reads, and the shape and style names it sends are the ones the core handles. The core's
// names are taken from its sources, and checked against the channel's list written out here,
// so that a renamed key on either side fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/channel_names.h"
#include "tests/support/messages.h"
#include "tests/support/test_support.h"

namespace velmo::testing {
namespace {

using channel::Names;

std::string source(const std::string& relative) {
  return readText(std::string(VELMO_SOURCE_DIR) + "/" + relative);
}

// The first group of every match of |pattern| in |text|.
Names matches(const std::string& text, const std::string& pattern) {
  Names names;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    names.insert((*it)[1].str());
  }
  return names;
}

Names matches(const std::vector<std::string>& files, const std::string& pattern) {
  Names names;
  for (const std::string& file : files) names.merge(matches(source(file), pattern));
  return names;
}

// The Dart file without its comments, so that prose is not read as code.
std::string dartCode() {
  const std::string text = source("flutter/lib/velmo_image_tools.dart");
  return std::regex_replace(text, std::regex(R"(//[^\n]*)"), "");
}

// The text of a Dart enum's body.
std::string dartEnum(const std::string& code, const std::string& name) {
  std::smatch match;
  EXPECT_TRUE(std::regex_search(code, match, std::regex("enum " + name + R"( \{([^}]*)\})")))
      << name;
  return match.size() > 1 ? match[1].str() : "";
}

// The channel's names, written out independently of the core's sources.
const Names kArgumentKeys = channel::allArgumentKeys();
using channel::kMethods;
using channel::kResultKeys;

// The C++ sources of the given folders of the core, wherever in them the reading is done.
std::vector<std::string> coreSources(std::initializer_list<const char*> folders) {
  std::vector<std::string> files;
  for (const char* folder : folders) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(VELMO_SOURCE_DIR) + "/" + folder)) {
      if (entry.path().extension() == ".cpp") {
        files.push_back(std::string(folder) + "/" + entry.path().filename().string());
      }
    }
  }
  return files;
}

TEST(DartApi, CoreReadsAndWritesTheChannelsKeys) {
  // Keys read through the argument readers, and keys of the maps the core answers with.
  const auto methods = coreSources({"source", "render", "tile", "method", "plugin"});
  EXPECT_EQ(matches(methods, R"((?:read\w*|findEntry)\(\s*[^,;()]*,\s*"(\w+)\")"), kArgumentKeys);
  EXPECT_EQ(matches(std::vector<std::string>{"source/image_source.cpp", "method/file_result.cpp"},
                    R"(\{"(\w+)\",)"),
            kResultKeys);
  EXPECT_EQ(matches(methods, R"(method == "(\w+)\")"), kMethods);
}

TEST(DartApi, SendsAndReadsOnlyTheChannelsNames) {
  const std::string code = dartCode();
  EXPECT_EQ(matches(code, R"(MethodChannel\('([^']*)'\))"), Names{"velmo/image_tools"});
  EXPECT_EQ(matches(code, R"(invokeMapMethod<String, Object\?>\(\s*'(\w+)')"), kMethods);
  // Every argument key is sent somewhere, and nothing else is.
  EXPECT_EQ(matches(code, R"('(\w+)':)"), kArgumentKeys);
  EXPECT_EQ(matches(code, R"(map\['(\w+)'\])"), kResultKeys);
  EXPECT_EQ(matches(code, R"('(PHOTO_\w+)')"),
            (Names{messages::kArgumentsCode, messages::kProcessingCode}));

  // Shape and style names: each one the core tells apart (a shape it does not know is drawn
  // freehand, a style it does not know is the minimal signature).
  const Names shapes = matches(dartEnum(code, "StrokeShape"), R"('(\w+)')");
  const auto render = coreSources({"render"});
  const Names coreShapes = matches(render, R"(name == "(\w+)\")");
  EXPECT_EQ(shapes.size(), 6u);
  for (const std::string& shape : shapes) {
    EXPECT_TRUE(shape == "freehand" || coreShapes.count(shape)) << shape;
  }
  const Names styles = matches(dartEnum(code, "WatermarkStyle"), R"('(\w+)')");
  // Compared with, or taken as the default.
  Names coreStyles = matches(render, R"(style [!=]= "(\w+)\")");
  coreStyles.merge(matches(render, R"re("style"\)\.value_or\("(\w+)"\))re"));
  EXPECT_EQ(styles, coreStyles);
  EXPECT_EQ(styles, (Names{"diagonalRepeat", "cornerStamp", "minimalSignature"}));

  // No name in quotes outside these: a key spelled some other way would show here.
  Names known = kArgumentKeys;
  for (const Names* names : {&kResultKeys, &kMethods, &shapes, &styles}) {
    known.insert(names->begin(), names->end());
  }
  known.insert({messages::kArgumentsCode, messages::kProcessingCode});
  for (const std::string& name : matches(code, R"('([A-Za-z_]\w*)')")) {
    EXPECT_TRUE(known.count(name)) << name;
  }
}

}  // namespace
}  // namespace velmo::testing
