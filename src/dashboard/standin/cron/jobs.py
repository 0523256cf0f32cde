"""Scheduled-job files. The paths are module attributes that a front end may
re-point (a profile switch does); every function reads them at call time."""
import json
import os
from pathlib import Path

KORVEL_DIR = Path(os.environ.get("KORVEL_HOME") or Path.home() / ".korvel").resolve()
CRON_DIR = KORVEL_DIR / "cron"
JOBS_FILE = CRON_DIR / "jobs.json"
OUTPUT_DIR = CRON_DIR / "output"


def load_jobs():
    try:
        data = json.loads(Path(JOBS_FILE).read_text(encoding="utf-8"))
    except FileNotFoundError:
        return []
    return data.get("jobs", []) if isinstance(data, dict) else list(data)


def save_jobs(jobs):
    path = Path(JOBS_FILE)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(json.dumps({"jobs": list(jobs)}, indent=2), encoding="utf-8")
    os.replace(tmp, path)


def output_path(job_id):
    return Path(OUTPUT_DIR) / f"{job_id}.md"
