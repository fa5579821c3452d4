"""The service's settings: flags, KELVORA_* environment variables and a TOML file, each value
checked, with one line naming the key and what was expected; --help and --version."""

import os
import subprocess
import sys

import pytest
from test_service import Service

import kelvora


def serve(*args, cwd, env=None):
    return subprocess.run(
        [sys.executable, "-m", "kelvora", "serve", *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )


@pytest.mark.parametrize(
    "toml, line",
    [
        ('port = "8000"', "kelvora.toml: port: Input should be a valid integer"),
        ("port = 0", "kelvora.toml: port: Input should be greater than or equal to 1"),
        ('log_level = "loud"', "kelvora.toml: log_level: Input should be 'critical', 'error', "
         "'warning', 'info' or 'debug'"),
        ("bogus = 1", "kelvora.toml: bogus: Extra inputs are not permitted"),
        ('[[tables]]\nname = "t"\nfilterable = "status"',
         "kelvora.toml: tables.0.filterable: Input should be a valid list"),
        ('[[tables]]\nname = "t"\ncache = "yes"',
         "kelvora.toml: tables.0.cache: Input should be a valid boolean"),
        ('[[tables]]\nkey = "id"', "kelvora.toml: tables.0.name: Field required"),
        ('[[tables]]\nname = "a b"',
         "kelvora.toml: tables.0.name: table name 'a b' is not a ClickHouse identifier"),
        ("port = 0\nhost = 2", "kelvora.toml: host: Input should be a valid string; "
         "kelvora.toml: port: Input should be greater than or equal to 1"),
    ],
)  # fmt: skip
def test_a_wrong_value_in_the_file_names_its_key(tmp_path, toml, line):
    (tmp_path / "kelvora.toml").write_text(toml + "\n")
    done = serve("--config", "kelvora.toml", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (2, f"kelvora: {line}\n")
    assert os.listdir(tmp_path) == ["kelvora.toml"]


@pytest.mark.parametrize(
    "variable, value, line",
    [
        ("KELVORA_PORT", "http", "KELVORA_PORT: Input should be a valid integer, unable to parse "
         "string as an integer"),
        ("KELVORA_PORT", "70000", "KELVORA_PORT: Input should be less than or equal to 65535"),
        ("KELVORA_TABLES", '[{"name": "t", "filterable": "status"}]',
         "KELVORA_TABLES: 0.filterable: Input should be a valid list"),
    ],
)  # fmt: skip
def test_a_wrong_environment_variable_is_named(tmp_path, variable, value, line):
    done = serve(cwd=tmp_path, env={variable: value})
    assert (done.returncode, done.stderr) == (2, f"kelvora: {line}\n")


@pytest.mark.parametrize(
    "flags, used",
    [([], "from-environment"), (["--data-dir", "from-flag"], "from-flag")],
)
def test_flags_override_the_environment_which_overrides_the_file(
    tmp_path, monkeypatch, flags, used
):
    (tmp_path / "kelvora.toml").write_text('data_dir = "from-file"\n')
    monkeypatch.setenv("KELVORA_DATA_DIR", "from-environment")
    with Service("--config", "kelvora.toml", *flags, cwd=tmp_path) as service:
        assert service.http.get("/products/1").status_code == 200
        assert service.stop() == 0
    assert sorted(os.listdir(tmp_path)) == sorted(["kelvora.toml", used])


def test_help_shows_every_default(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "kelvora", "serve", "--help"],
        capture_output=True,
        text=True,
        env={**os.environ, "COLUMNS": "300"},
        timeout=60,
    )
    assert done.returncode == 0
    for text in [
        "--data-dir DATA_DIR   the embedded engine's data directory (default: ./kelvora-data; "
        "KELVORA_DATA_DIR)",
        "(default: none; KELVORA_DSN)",
        "(default: default; KELVORA_CONFIG_NAME)",
        "(default: default; KELVORA_ENVIRONMENT)",
        "(default: 127.0.0.1; KELVORA_HOST)",
        "--port PORT           the port to serve on (default: 8000; KELVORA_PORT)",
        "(default: info; KELVORA_LOG_LEVEL)",
        "default: the demo table products on the embedded engine",
    ]:
        assert text in done.stdout


def test_version():
    done = subprocess.run(
        [sys.executable, "-m", "kelvora", "serve", "--version"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert (done.returncode, done.stdout) == (0, f"kelvora {kelvora.__version__}\n")
    assert kelvora.__version__ == "0.1.0"
