"""scripts/digests-agree: which builds' digests it holds to agreement, group by group."""

import os
import subprocess
import sys

import pytest

SCRIPT = os.path.join(os.path.dirname(__file__), os.pardir, "scripts", "digests-agree")


def write(directory, name, platform, ieee="a", double="b", expm1f="c"):
    (directory / f"{name}.txt").write_text(
        f"platform: {platform}\nieee scale f64: {ieee}\nlibm-double hvg f64: {double}\nlibm-expm1f hvg f32: {expm1f}\n")


def agree(directory):
    run = subprocess.run([sys.executable, SCRIPT, str(directory)], capture_output=True, text=True)
    return run.returncode == 0, run.stdout + run.stderr


def test_expm1f_results_are_compared_within_each_kind(tmp_path):
    write(tmp_path, "gcc", "x86_64 glibc 2.36")
    write(tmp_path, "clang", "x86_64 glibc 2.36")
    write(tmp_path, "debian-sid", "x86_64 glibc 2.43", expm1f="d")
    write(tmp_path, "aarch64", "aarch64 glibc 2.41", expm1f="d")
    ok, out = agree(tmp_path)
    assert ok, out
    assert "libm-expm1f, classic (glibc < 2.41): 2 builds agree: clang, gcc" in out
    assert "libm-expm1f, correctly rounded (glibc >= 2.41): 2 builds agree: aarch64, debian-sid" in out
    write(tmp_path, "debian-trixie", "x86_64 glibc 2.41", expm1f="c")  # the classic bits on 2.41: wrong
    ok, out = agree(tmp_path)
    assert not ok and "libm-expm1f hvg f32: aarch64 d, debian-trixie c" in out


@pytest.mark.parametrize("changed", [{"ieee": "x"}, {"double": "x"}])
def test_ieee_and_double_results_agree_across_libraries_and_architectures(tmp_path, changed):
    write(tmp_path, "gcc", "x86_64 glibc 2.36")
    write(tmp_path, "aarch64", "aarch64 glibc 2.41", expm1f="d", **changed)
    ok, out = agree(tmp_path)
    assert not ok and "DIFFER: aarch64, gcc" in out


def test_a_file_without_platform_line_is_refused(tmp_path):
    (tmp_path / "old.txt").write_text("libm hvg_seurat_stats f64: b\n")
    ok, out = agree(tmp_path)
    assert not ok and "no platform line" in out
