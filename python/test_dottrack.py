"""The Python module against dottrack-export and against the truth of generated fields, on
frames of every layout and on bad input.

Run by ctest, which sets PYTHONPATH to the module's folder, DOTTRACK_EXPORT to the export
program, DOTTRACK_TEST_VIDEO to a short sample video and DOTTRACK_TEST_FIELDS to a folder of
fields with their truth (field-affine and field-stretch, .avi and .csv).
"""

import csv
import math
import os
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

import dottrack

EXPORT = os.environ["DOTTRACK_EXPORT"]
VIDEO = os.environ["DOTTRACK_TEST_VIDEO"]
FIELDS = os.environ["DOTTRACK_TEST_FIELDS"]
MOTION_FIELDS = ["tx", "ty", "rotation_deg", "scale", "shear_1", "shear_2", "rms"]


def read_csv(path):
    with open(path, newline="") as file:
        return list(csv.DictReader(file))


def export(passes=None):
    """The export's track rows of the test video, and its motion rows when it writes them."""
    options = ["--passes", str(passes)] if passes else []
    writes_motion = "--motion" in subprocess.run(
        [EXPORT, "--help"], capture_output=True, text=True, check=True).stdout
    with tempfile.TemporaryDirectory() as folder:
        tracks, motion = os.path.join(folder, "tracks.csv"), os.path.join(folder, "motion.csv")
        if writes_motion:
            options += ["--motion", motion]
        subprocess.run([EXPORT, VIDEO, "--out", tracks, "--quiet", *options], check=True)
        return read_csv(tracks), read_csv(motion) if writes_motion else None


def points(rows, x, y):
    """Two CSV columns as float32 points; an empty field is NaN."""
    return np.array([[np.float32(row[name] or "nan") for name in (x, y)] for row in rows])


def assert_bits(got, want, what):
    """Float32 values equal bit for bit, NaN where NaN is wanted."""
    got, want = np.asarray(got, np.float32), np.asarray(want, np.float32)
    known = ~np.isnan(want)
    equal = np.array_equal(np.isnan(got), ~known) and np.array_equal(
        got[known].view(np.uint32), want[known].view(np.uint32))
    assert equal, f"{what}: got {got}, want {want}"


class SameAsExport(unittest.TestCase):
    def check_run(self, passes):
        track_rows, motion_rows = export(passes)
        runs = list(dottrack.track(VIDEO, passes=passes))
        self.assertEqual(30 * len(runs), len(track_rows))
        # The centres and displacements are checked once the export writes them.
        measured = "centre_x" in track_rows[0]
        for number, frame, result in runs:
            rows = track_rows[30 * number:30 * number + 30]
            where = f"pass {number}"
            self.assertEqual({(number, frame)}, {(int(r["pass"]), int(r["frame"])) for r in rows})
            assert_bits(result.ref, points(rows, "ref_x", "ref_y"), where)
            assert_bits(result.markers, points(rows, "x", "y"), where)
            np.testing.assert_array_equal(result.assignment, [int(r["target"]) for r in rows])
            held = result.assignment >= 0
            assert_bits(result.targets[result.assignment[held]],
                        points(rows, "target_x", "target_y")[held], where)
            if measured:
                assert_bits(result.centres, points(rows, "centre_x", "centre_y"), where)
                assert_bits(result.displacements, points(rows, "disp_x", "disp_y"), where)
            if motion_rows is not None:
                fitted = motion_rows[number]
                self.assertEqual(fitted["tx"] == "", result.motion is None, where)
                if result.motion is not None:
                    self.assertEqual([float(fitted[name]) for name in MOTION_FIELDS],
                                     [getattr(result.motion, name) for name in MOTION_FIELDS])
                    self.assertEqual((int(fitted["markers"]), int(fitted["inliers"])),
                                     (result.motion.markers, result.motion.inliers))
        return runs

    def test_one_trip_gives_the_exports_numbers(self):
        runs = self.check_run(None)
        frames = [frame for _, frame, _ in runs]
        self.assertEqual(frames, list(range(46, 80, 2)))
        self.assertTrue(any(result.motion is not None for _, _, result in runs))

    def test_more_passes_start_the_video_over(self):
        runs = self.check_run(25)
        self.assertEqual(runs[17][1], 0)


def dotted_frame(shift, size=(700, 900)):
    """A lit, textured BGR surface with 40 dark dots, moved by `shift` pixels (x, y)."""
    rng = np.random.default_rng(7)
    image = 170 + rng.integers(0, 20, size, dtype=np.int32)
    y, x = np.mgrid[-8:9, -8:9]
    for cx, cy in rng.uniform((40, 40), (600, 440), (40, 2)) + shift:
        ix, iy = int(cx), int(cy)
        dot = 120 * np.exp(-((x + ix - cx) ** 2 + (y + iy - cy) ** 2) / 18)
        image[iy - 8:iy + 9, ix - 8:ix + 9] -= dot.astype(np.int32)
    # Channels that differ in noise show one taken for another.
    blue, red = rng.integers(0, 256, size), image - rng.integers(0, 40, size)
    return np.dstack([blue, image, red]).astype(np.uint8)


class FramesFromNumpy(unittest.TestCase):
    frames = [dotted_frame((1.5 * k, 0.75 * k)) for k in range(3)]

    def test_any_view_gives_the_same_as_a_packed_copy(self):
        views = {
            "rows of a larger image": lambda big: big[10:500, 20:700],
            "rows upside down": lambda big: big[::-1],
            "channels reversed": lambda big: big[..., ::-1].copy()[..., ::-1],
            "every second pixel": lambda big: np.repeat(np.repeat(big, 2, 0), 2, 1)[::2, ::2],
            "column-major": np.asfortranarray,
        }
        for name, view in views.items():
            with self.subTest(name):
                from_views, from_copies = dottrack.Tracker(), dottrack.Tracker()
                for frame in self.frames:
                    got = from_views.process(view(frame))
                    want = from_copies.process(np.ascontiguousarray(view(frame)))
                    for field in ("targets", "ref", "markers", "centres", "displacements"):
                        assert_bits(getattr(got, field), getattr(want, field), field)
                    np.testing.assert_array_equal(got.assignment, want.assignment)
                    self.assertEqual(repr(got.motion), repr(want.motion))
                self.assertGreater((got.assignment >= 0).sum(), 20)
                self.assertIsNotNone(got.motion)

    def test_bad_frames_raise_value_error_and_count_no_pass(self):
        tracker = dottrack.Tracker()
        good = self.frames[0]
        for bad in [None, good.tolist(), good.astype(np.float32), good[..., 0],
                    np.dstack([good, good[..., :1]]), good[:479], good[:, :639],
                    good[:0], good.astype(np.int64)]:
            with self.assertRaises(ValueError) as caught:
                tracker.process(bad)
            self.assertNotIn("\n", str(caught.exception))
        self.assertEqual(tracker.passes, 0)
        tracker.process(good)
        self.assertEqual(tracker.passes, 1)

    def test_sources_that_cannot_be_opened_raise_os_error(self):
        for run in (dottrack.track, dottrack.track_field):
            for source in ["no-such-video.avi", __file__, 99]:
                with self.subTest(source), self.assertRaises(OSError) as caught:
                    run(source)
                self.assertNotIn("\n", str(caught.exception))
        with self.assertRaises(ValueError):
            dottrack.track(VIDEO, passes=0)
        with self.assertRaises(ValueError):
            dottrack.track_field(VIDEO, frames=0)

    def test_other_threads_run_during_a_frame(self):
        field_frame = next(iter(dottrack.track_field(field_files("affine")[0])))[1]
        for name, process, frame in [("tracker", dottrack.Tracker().process, self.frames[0]),
                                     ("field", dottrack.Field().process, field_frame)]:
            with self.subTest(name):
                self.check_other_threads_run(process, frame)

    def check_other_threads_run(self, process, frame):
        counted, stop = [0], threading.Event()

        def count():
            while not stop.is_set():
                counted[0] += 1
                time.sleep(0.0005)

        # No forced switches: the counter runs only while the GIL is given up.
        interval = sys.getswitchinterval()
        sys.setswitchinterval(100)
        counter = threading.Thread(target=count)
        try:
            counter.start()
            before = counted[0]
            for _ in range(200):
                process(frame)
                if counted[0] > before:
                    break
        finally:
            stop.set()
            counter.join()
            sys.setswitchinterval(interval)
        self.assertGreater(counted[0], before)


def field_files(motion):
    """A generated field's video and its truth."""
    return tuple(os.path.join(FIELDS, f"field-{motion}.{kind}") for kind in ("avi", "csv"))


def read_truth(path):
    """Per frame of a field: its dots' truth numbers, centres and whether each is wholly seen."""
    frames = {}
    for row in read_csv(path):
        frames.setdefault(int(row["frame"]), []).append(row)
    return [(np.array([int(r["dot"]) for r in rows]),
             np.array([[float(r["x"]), float(r["y"])] for r in rows]),
             np.array([r["visible"] == "1" for r in rows])) for _, rows in sorted(frames.items())]


def truth_deformation(first, now):
    """The strain, rotation and area ratio of the affine map taking the truth's first frame to
    frame `now` (both (numbers, centres, visible))."""
    common, at_first, at_now = np.intersect1d(first[0], now[0], return_indices=True)
    ones = np.ones((len(common), 1))
    gradient = np.linalg.lstsq(np.hstack([first[1][at_first], ones]), now[1][at_now],
                               rcond=None)[0][:2].T
    strain = (gradient.T @ gradient - np.eye(2)) / 2
    rotation = math.degrees(math.atan2(gradient[1, 0] - gradient[0, 1],
                                       gradient[0, 0] + gradient[1, 1]))
    return [strain[0, 0], strain[1, 1], strain[0, 1]], rotation, np.linalg.det(gradient)


FIELD_ARRAYS = ["dots", "found", "centres", "displacements", "strain", "rotation", "area_ratio"]


class FieldOfDots(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        video, truth = field_files("affine")
        cls.truth = read_truth(truth)
        cls.runs = list(dottrack.track_field(video))

    def assert_same_result(self, got, want, where):
        for name in FIELD_ARRAYS:
            g, w = getattr(got, name), getattr(want, name)
            self.assertEqual((g.dtype, g.shape, g.tobytes()), (w.dtype, w.shape, w.tobytes()),
                             f"{name}, {where}")
        self.assertEqual(repr(got.motion), repr(want.motion), where)

    def test_every_dot_keeps_its_number_and_lies_on_its_truth(self):
        self.assertEqual([index for index, _, _ in self.runs], list(range(len(self.truth))))
        truth_of = {}
        first = self.runs[0][2]
        for (index, frame, result), (numbers, centres, visible) in zip(self.runs, self.truth):
            where = f"frame {index}"
            self.assertEqual((frame.shape, frame.dtype), ((480, 640, 3), np.uint8))
            self.assertTrue(np.all(np.diff(result.dots) > 0), where)
            found, lost = result.found, ~result.found
            for name in ("centres", "displacements", "strain"):
                self.assertTrue(np.isnan(getattr(result, name)[lost]).all(), f"{name}, {where}")
            # Each centre lies on a dot of the truth, always the same for the same number.
            distance = np.linalg.norm(
                result.centres[found][:, None].astype(np.float64) - centres[None], axis=2)
            nearest = distance.argmin(axis=1)
            self.assertLess(distance[np.arange(len(nearest)), nearest].max(), 0.1, where)
            for number, dot in zip(result.dots[found], numbers[nearest]):
                self.assertEqual(truth_of.setdefault(number, dot), dot, f"dot {number}, {where}")
            seen = np.isin(numbers[visible], numbers[nearest]).mean()
            self.assertGreater(seen, 0.98, where)
            # A dot seen in the first frame moved from its centre there.
            since_first = found & np.isin(result.dots, first.dots[first.found])
            reference = first.centres[np.searchsorted(first.dots, result.dots[since_first])]
            assert_bits(result.displacements[since_first],
                        result.centres[since_first] - reference, where)
        some = [index for index, _, _ in dottrack.track_field(field_files("affine")[0], frames=5)]
        self.assertEqual(some, list(range(5)))

    def test_strain_follows_a_known_affine_map(self):
        for motion in ("affine", "stretch"):
            video, truth_path = field_files(motion)
            truth = read_truth(truth_path)
            runs = self.runs if motion == "affine" else dottrack.track_field(video)
            for (index, _, result), now in zip(runs, truth):
                where = f"{motion}, frame {index}"
                strain, rotation, area_ratio = truth_deformation(truth[0], now)
                fitted = ~np.isnan(result.strain[:, 0])
                self.assertGreater(fitted.sum(), 0.9 * result.found.sum(), where)
                np.testing.assert_allclose(np.median(result.strain[fitted], axis=0), strain,
                                           rtol=0, atol=3e-4, err_msg=where)
                self.assertAlmostEqual(np.median(result.rotation[fitted]), rotation, delta=0.005,
                                       msg=where)
                self.assertAlmostEqual(np.median(result.area_ratio[fitted]), area_ratio,
                                       delta=3e-4, msg=where)

    def test_frames_from_numpy_give_what_track_field_gives(self):
        packed, views = dottrack.Field(), dottrack.Field()
        for index, frame, want in self.runs:
            self.assert_same_result(packed.process(frame), want, f"frame {index}")
            self.assert_same_result(views.process(np.asfortranarray(frame)), want,
                                    f"frame {index}, column-major")
        # A grey frame, packed or every third byte of a BGR one, is what a BGR frame of three
        # equal channels is.
        from_bgr, from_grey, from_view = dottrack.Field(), dottrack.Field(), dottrack.Field()
        for index, frame, _ in self.runs[:6]:
            bgr = np.repeat(frame[..., 1:2], 3, axis=2)
            want = from_bgr.process(bgr)
            self.assertGreater(want.found.sum(), 100)
            self.assert_same_result(from_grey.process(frame[..., 1].copy()), want, f"grey {index}")
            self.assert_same_result(from_view.process(bgr[..., 0]), want, f"view {index}")

    def test_bad_frames_raise_value_error_and_leave_the_run_as_it_was(self):
        field = dottrack.Field()
        frame = self.runs[0][1]
        field.process(frame)
        for bad in [frame[:400], frame[:, :600], frame[0], frame.astype(np.float32),
                    np.dstack([frame, frame[..., :1]]), frame[:0], frame.tolist(), None]:
            with self.assertRaises(ValueError) as caught:
                field.process(bad)
            self.assertNotIn("\n", str(caught.exception))
        self.assertEqual(field.frames, 1)
        self.assert_same_result(field.process(self.runs[1][1]), self.runs[1][2], "after")

    def test_millimetres_come_with_a_scale_and_a_camera_file_that_cannot_serve_is_refused(self):
        video = field_files("affine")[0]
        for index, _, result in dottrack.track_field(video, frames=4, mm_per_px=0.5):
            where = f"frame {index}"
            self.assertEqual(result.centres_mm.dtype, np.float64)
            # Without a camera, the very floats of the pixels times the scale.
            np.testing.assert_array_equal(result.centres_mm, result.centres * 0.5, where)
            np.testing.assert_array_equal(result.displacements_mm, result.displacements * 0.5,
                                          where)
            self.assertEqual((result.motion.tx_mm, result.motion.ty_mm),
                             (result.motion.tx * 0.5, result.motion.ty * 0.5), where)
        plain = self.runs[0][2]
        self.assertEqual((plain.centres_mm, plain.displacements_mm, plain.motion.tx_mm),
                         (None, None, None))
        with tempfile.TemporaryDirectory() as folder:
            camera = os.path.join(folder, "camera.yml")
            with open(camera, "w") as file:
                file.write("%YAML:1.0\n---\nimage_width: 640\n")
            for arguments in [{"camera": camera}, {"camera": os.path.join(folder, "none.yml")}]:
                with self.subTest(arguments), self.assertRaises(OSError) as caught:
                    dottrack.Field(**arguments)
                self.assertNotIn("\n", str(caught.exception))
            with self.assertRaises(OSError):
                dottrack.track_field(video, camera=camera)
        for arguments in [{"pitch": 2, "mm_per_px": 0.5}, {"pitch": 0}, {"mm_per_px": -1}]:
            with self.subTest(arguments), self.assertRaises(ValueError):
                dottrack.Field(**arguments)


if __name__ == "__main__":
    unittest.main()
