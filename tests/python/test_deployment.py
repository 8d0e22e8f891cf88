"""The module loads from its own folder wherever that folder is, and installs beside its library."""
import os
import shutil
import subprocess

import pytest

from conftest import BUILD_DIR, MODULE_DIR

# Prints the file of libvexil_client that the import loaded.
IMPORT = ("import tessellpy\n"
          "print(next(line.split()[-1] for line in open('/proc/self/maps') if 'libvexil_client' in line))")


def run_python(module_dir, cwd, first_on_path=None):
    env = {key: value for key, value in os.environ.items() if key not in ("LD_LIBRARY_PATH", "PYTHONPATH")}
    env["PYTHONPATH"] = os.pathsep.join(str(folder) for folder in (first_on_path, module_dir) if folder)
    return subprocess.run(["/usr/bin/python3", "-c", IMPORT], cwd=cwd, env=env, capture_output=True, text=True)


def test_import_from_another_folder_and_from_a_moved_copy(tmp_path):
    outcome = run_python(MODULE_DIR, "/")
    assert outcome.returncode == 0, outcome.stderr
    assert os.path.dirname(outcome.stdout.strip()) == str(MODULE_DIR)
    moved = tmp_path / "moved"
    shutil.copytree(MODULE_DIR, moved, symlinks=True)
    outcome = run_python(moved, tmp_path)
    assert outcome.returncode == 0, outcome.stderr
    assert os.path.dirname(outcome.stdout.strip()) == str(moved)


def test_install_puts_module_and_library_side_by_side(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is not on PATH")
    subprocess.run(["cmake", "--install", str(BUILD_DIR), "--prefix", str(tmp_path)], check=True,
                   capture_output=True)
    modules = list(tmp_path.glob("lib/python3*/dist-packages/tessellpy*.so"))
    assert len(modules) == 1
    assert (modules[0].parent / "libvexil_client.so.7").is_file()
    outcome = run_python(modules[0].parent, tmp_path)
    assert outcome.returncode == 0, outcome.stderr
    assert os.path.dirname(outcome.stdout.strip()) == str(modules[0].parent)


def test_import_error_states_its_cause(tmp_path):
    broken = tmp_path / "numpy"
    broken.mkdir()
    (broken / "__init__.py").write_text("raise ImportError('numpy is broken for this test')")
    outcome = run_python(MODULE_DIR, tmp_path, first_on_path=tmp_path)
    assert outcome.returncode != 0
    assert "ImportError: tessellpy could not be initialised: ImportError: numpy is broken for this test" \
        in outcome.stderr
