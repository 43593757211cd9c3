// The goal table's verdicts, printed as a report's last table.
#include "bench/goals.h"

#include <cstdio>

namespace bench {

void GoalSheet::Record(size_t goal, double value, std::string shown) {
    mFigures.at(goal) = Figure{value, std::move(shown)};
}

void GoalSheet::Print(const char* title, int level) const {
    std::printf("%.*s %s\n\n| goal | figure | met |\n", level, "######", title);
    std::printf("|---|---:|---|\n");
    for (size_t i = 0; i < mGoals.size(); ++i) {
        const std::optional<Figure>& figure = mFigures[i];
        const bool met = figure && figure->value <= mGoals[i].limit;
        std::printf("| %s | %s | %s |\n", mGoals[i].text,
                    figure ? figure->shown.c_str() : "not measured", met ? "yes" : "no");
    }
    std::printf("\n");
}

}  // namespace bench
