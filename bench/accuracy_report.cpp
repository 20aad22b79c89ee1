#include "bench/accuracy.h"

#include <algorithm>
#include <cstdio>

namespace dottrack {

namespace {

const char* const verdictNames[verdictCount] = {"found",         "near the border", "too faint",
                                                "rim not clear", "wrong shape",     "unsettled"};

}  // namespace

void printAccuracy(const std::string& videoPath, const DotScale& scale, const Grades& grades) {
    const std::size_t passes = grades.measureUs.size();
    std::printf(
        "dottrack-accuracy: %s, %zu passes (one trip); dots of radius %.2f px, window "
        "%d x %d px\n\n",
        videoPath.c_str(), passes, scale.radius, 2 * scale.halfWindow + 1,
        2 * scale.halfWindow + 1);
    std::printf("%-40s %14s %14s\n", "dot centres", "dottrack", "blob detector");
    std::printf("%-40s %14.4f %14.4f\n", "error, mean (px)", grades.centre.mean(),
                grades.blobCentre.mean());
    std::printf("%-40s %14.4f %14.4f\n", "error, p95 (px)", grades.centre.quantile(0.95),
                grades.blobCentre.quantile(0.95));
    std::printf("%-40s %14.4f %14.4f\n", "error, largest (px)", grades.centre.max(),
                grades.blobCentre.max());
    std::printf("%-40s %14ld %14ld\n", "wrong (more than 0.5 px off)", grades.centre.wrong,
                grades.blobCentre.wrong);
    std::printf("%-40s %8zu/%-5ld %8ld/%-5ld\n", "centres given / targets or dots on view",
                grades.centre.values.size() + grades.centre.wrong, grades.targetsOnDots,
                grades.blobsFound, grades.dotsInView);
    std::printf("%-40s %14.1f %14.1f\n\n", "time per frame, median (us)",
                medianOf(grades.measureUs), medianOf(grades.blobUs));

    std::printf("%-40s %9s %9s %9s\n", "marker displacement and surface motion", "mean", "p95",
                "largest");
    const auto row = [](const char* name, const Errors& e, double unit) {
        std::printf("%-40s %9.4f %9.4f %9.4f\n", name, e.mean() * unit, e.quantile(0.95) * unit,
                    e.max() * unit);
    };
    row("displacement error (px)", grades.displacement, 1);
    row("tx against the fit on true centres (px)", grades.tx, 1);
    row("ty against the fit on true centres (px)", grades.ty, 1);
    row("rotation, same (deg)", grades.rotation, 1);
    row("scale, same (x 1e-4)", grades.scale, 1e4);
    std::printf(
        "wrong displacements (more than 0.5 px off): %ld; passes without a fit where the "
        "true centres have one: %ld\n\n",
        grades.displacement.wrong, grades.fitsMissing);

    std::printf("pixel locking, over the passes in motion (%ld coordinates):\n",
                grades.locking.count);
    std::printf("  fractional parts, 10 bins, measured:");
    for (const long n : grades.locking.measured) {
        std::printf(" %ld", n);
    }
    std::printf("\n  the same, true centres:              ");
    for (const long n : grades.locking.truth) {
        std::printf(" %ld", n);
    }
    std::printf("\n  largest / smallest bin: measured %.3f, true centres %.3f\n",
                Locking::flatness(grades.locking.measured),
                Locking::flatness(grades.locking.truth));
    std::printf("  pull towards whole pixels (amplitude of the error's sine): %.4f px\n\n",
                grades.locking.pull());
    std::printf("targets per verdict:");
    for (int v = 0; v < verdictCount; ++v) {
        std::printf("%s %s %ld", v > 0 ? "," : "", verdictNames[v], grades.verdicts[v]);
    }
    std::printf("\n");
}

}  // namespace dottrack
