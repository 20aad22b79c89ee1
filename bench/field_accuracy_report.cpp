#include <algorithm>
#include <cstdio>
#include <string>

#include "bench/field_accuracy.h"

namespace dottrack {

namespace {

double percent(double part, double whole) {
    return whole > 0 ? 100 * part / whole : NAN;
}

// One row of the table of the centres: ours beside the blob detector's.
void printRow(const char* name, double ours, double theirs, const char* format) {
    std::printf("%-46s", name);
    std::printf(format, ours);
    std::printf(format, theirs);
    std::printf("\n");
}

void printCentres(const CentreFigures& ours, const CentreFigures& blobs) {
    std::printf("%-46s%14s%14s\n", "dot centres", "dottrack", "blob detector");
    printRow("dots in view and uncovered, frame by frame", ours.visible, blobs.visible, "%14.0f");
    printRow("found within 0.5 px (%)", percent(ours.found, ours.visible),
             percent(blobs.found, blobs.visible), "%14.3f");
    printRow("found, worst frame (%)", 100 * ours.worstCoverage, 100 * blobs.worstCoverage,
             "%14.3f");
    printRow("centres given", ours.centres, blobs.centres, "%14.0f");
    printRow("false centres (% of centres)",
             percent(ours.falseCentres + ours.duplicates, ours.centres),
             percent(blobs.falseCentres + blobs.duplicates, blobs.centres), "%14.4f");
    printRow("  of which a second centre on a dot", ours.duplicates, blobs.duplicates, "%14.0f");
    printRow("centres on dots partly hidden or cut", ours.onHidden, blobs.onHidden, "%14.0f");
    printRow("centre error, mean (px)", ours.error.mean(), blobs.error.mean(), "%14.4f");
    printRow("centre error, p95 (px)", ours.error.quantile(0.95), blobs.error.quantile(0.95),
             "%14.4f");
    printRow("centre error, largest (px)", ours.error.max(), blobs.error.max(), "%14.4f");
    printRow("pull towards whole pixels (px)", ours.locking.pull(), blobs.locking.pull(), "%14.4f");
    printRow("fractional parts, largest / smallest bin", Locking::flatness(ours.locking.measured),
             Locking::flatness(blobs.locking.measured), "%14.3f");
    printRow("  the same of the true centres they are on", Locking::flatness(ours.locking.truth),
             Locking::flatness(blobs.locking.truth), "%14.3f");
    printRow("time per frame, median (ms)", medianOf(ours.milliseconds),
             medianOf(blobs.milliseconds), "%14.3f");
}

void printIdentity(const FieldIdentity& id) {
    const auto count = [](const std::vector<std::uint8_t>& flags) {
        return static_cast<long>(std::count(flags.begin(), flags.end(), 1));
    };
    const long cameBack = count(id.cameBack), afterBack = count(id.renumberedAfterBack);
    std::printf("\nnumbers given: %zu, of which first to a false centre: %ld\n",
                id.ownerOfNumber.size(), id.numbersOnFalse);
    std::printf("swaps (centres on a true dot under another dot's number): %ld\n", id.swaps);
    std::printf("centres on a true dot under a number first given to a false centre: %ld\n",
                id.strayOwners);
    std::printf(
        "dots that came back (covered, or out of view): %ld; renumbered after coming "
        "back: %ld (%.2f %%)\n",
        cameBack, afterBack, percent(afterBack, cameBack));
    std::printf("dots found under more than one number, all told: %ld\n", count(id.renumbered));
}

void printMotion(const FieldGrades& grades, bool placed) {
    std::printf("\n%-44s %9s %9s %9s %9s\n", "displacement and strain", "p50", "mean", "p95",
                "largest");
    const auto row = [](const char* name, const Errors& e) {
        std::printf("%-44s %9.2e %9.2e %9.2e %9.2e\n", name, e.quantile(0.5), e.mean(),
                    e.quantile(0.95), e.max());
    };
    if (placed) {
        // Through a lens the truth is where a pinhole would show each dot.
        row("ideal centre error (px)", grades.idealCentre);
        row("displacement error (ideal px)", grades.displacement);
    } else {
        row("displacement error (px)", grades.displacement);
    }
    row("  of the dots numbered after the reference frame", grades.laterDisplacement);
    row("exx error", grades.strain[0]);
    row("eyy error", grades.strain[1]);
    row("exy error", grades.strain[2]);
    std::printf("centres on their own dot: %ld; with strain: %ld (%.2f %%), graded %zu\n",
                grades.onDots, grades.strained, percent(grades.strained, grades.onDots),
                grades.strain[0].values.size());
}

void printMillimetres(const FieldGrades& grades, double mmPerPx) {
    std::printf("\nscale: %.6f mm per ideal px (truth %.6f, %+.3f %%)\n", mmPerPx,
                grades.truthMmPerPx, 100 * (mmPerPx / grades.truthMmPerPx - 1));
    const Errors& e = grades.displacementMm;
    std::printf("displacement error (mm): p50 %.4f, mean %.4f, p95 %.4f, largest %.4f\n",
                e.quantile(0.5), e.mean(), e.quantile(0.95), e.max());
}

}  // namespace

void printFieldAccuracy(const std::string& videoPath, const std::string& cameraPath,
                        const FieldMeasurement& measurement, const FieldGrades& grades) {
    const DotScale& scale = measurement.finder.scale;
    const cv::Size frameSize = measurement.frameSize;
    const std::string camera =
        cameraPath.empty() ? std::string() : "; through the camera of " + cameraPath;
    std::printf(
        "dottrack-accuracy: %s, %ld frames of %d x %d, the whole field measurement%s; dots of "
        "radius %.2f px learnt, depth %.1f, noise %.2f grey levels; reference frame %ld, "
        "pitch %.2f px\n",
        videoPath.c_str(), grades.frames, frameSize.width, frameSize.height, camera.c_str(),
        scale.radius, scale.depth, scale.noise, grades.identity.referenceFrame,
        measurement.run.links.spacing.pitch);
    const double later = std::max(1L, grades.frames - 1);
    std::printf(
        "heap allocations a frame after the first: %.2f, of which OpenCV's RANSAC in the "
        "motion fit %.2f; times are the processor time of the thread\n\n",
        static_cast<double>(grades.allocations) / later,
        static_cast<double>(grades.ransacAllocations) / later);
    printCentres(grades.ours, grades.blobs);
    printIdentity(grades.identity);
    printMotion(grades, grades.truthMmPerPx > 0);
    const double mmPerPx = measurement.run.result.mmPerPx;
    if (mmPerPx > 0 && grades.truthMmPerPx > 0) {
        printMillimetres(grades, mmPerPx);
    }
}

}  // namespace dottrack
