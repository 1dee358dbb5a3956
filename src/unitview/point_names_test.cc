#include "unitview/point_names.h"

#include <gtest/gtest.h>

namespace {

TEST(PointNamesTest, NamesEachPointAndLeavesOutBadLinesByNumber) {
  PointNames names = ParsePointNames(
      "; names of device 1\n"
      "[qor_mdu_3]\r\n"
      "Output1 = Rack 3 switch\n"
      "gpi5=Door open\n"
      "FUSE2=Feed B\n"
      "Inlet1=Mains A\n"
      "ProtectedOutputs=1, 4 12\n"
      "Output13=Too far\n"  // 8
      "Output2=\n"          // 9
      "Output3=" +
      std::string(65, 'x') + "\n" +  // 10
      "Output4=Bell\x07\n"           // 11
      "Output1=Again\n"              // 12
      "Colour=red\n"                 // 13
      "ProtectedOutputs=0\n"         // 14
      "[QOR_MDU_41]\n"               // 15
      "Output5=Lost\n"               // 16
      "[QOR_MDU_7]\n"
      "Output6=Caf\xC3\xA9 feed\n");
  ASSERT_EQ(names.units.count(3), 1u);
  const UnitNames& unit = names.units.at(3);
  EXPECT_EQ(unit.outputs, (std::map<int, std::string>{{1, "Rack 3 switch"}}));
  EXPECT_EQ(unit.NameOf("output/1/on_delay"), "Rack 3 switch");
  EXPECT_EQ(unit.NameOf("gpi/5/polarity"), "Door open");
  EXPECT_EQ(unit.NameOf("fuse/2"), "Feed B");
  EXPECT_EQ(unit.inlets.at(1), "Mains A");
  EXPECT_EQ(unit.NameOf("output/2"), std::nullopt);
  EXPECT_EQ(unit.protectedOutputs, (std::set<int>{1, 4, 12}));
  EXPECT_EQ(names.units.at(7).outputs.at(6), "Caf\xC3\xA9 feed");
  EXPECT_EQ(names.units.count(41), 0u);

  std::vector<int> lines;
  for (const std::string& p : names.problems)
    lines.push_back(std::stoi(p.substr(5)));
  EXPECT_EQ(lines, (std::vector<int>{8, 9, 10, 11, 12, 13, 14, 15, 16}))
      << ::testing::PrintToString(names.problems);
  EXPECT_EQ(NamesFilePath("/etc/zarn/dev_007.ini", 7),
            "/etc/zarn/names_007.ini");
}

}  // namespace
