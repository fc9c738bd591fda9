#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "detect/detection.h"
#include "detect/test_util.h"

namespace detect {
namespace {

TEST(SelectChokes, LabelsOfTheWorkedExamples) {
  struct Case {
    std::vector<int> v;
    std::vector<std::string> labels;
  } cases[] = {
      {{1000, 1000, 1000, 1000}, {"0=[1]"}},
      {{1000, 1000, 1100, 1100}, {"0=[1]"}},
      {{1000, 1000, 1000, 1500, 1500, 1500}, {"3=[1]"}},
      {{1000, 1000, 1000, 1500}, {"3=(1)"}},
      {{1000, 1000, 1300, 1600, 1600}, {"2=(1)", "3=[2]"}},
      {{1000, 1200, 1400, 1600}, {"1=(1)", "2=(2)", "3=(3)"}},
      {{1000, 1200, 1400, 1600, 1800, 2000}, {"1=(1)", "2=(2)", "3=[3]"}},
      {{1200, 1100, 1000, 1300, 1100}, {"1=[3]", "3=(1)", "4=(2)"}},
      {{500, 500, 900, 900, 500, 500, 900, 900}, {"2=[1]", "4=[2]", "6=[3]"}},
      {{1000, 1000, 1060, 1120, 1180, 1240}, {"2=[2]", "5=(1)"}},
      {{1400, 1300, 1150, 1050, 1500}, {"2=[2]", "4=(1)"}},
  };
  auto table = std::make_unique<FitTable>();
  for (const Case& c : cases) {
    auto state = working_state(c.v);
    fit_steps(*state, *table);
    select_chokes(*state, *table);
    EXPECT_EQ(labels_of(*state), c.labels) << "first value " << c.v[0]
                                           << ", n " << c.v.size();
  }
}

}  // namespace
}  // namespace detect
