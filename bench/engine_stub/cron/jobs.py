"""Bench engine: scheduled-job paths (assigned by profile switches)."""
KORVEL_DIR = None
CRON_DIR = None
JOBS_FILE = None
OUTPUT_DIR = None
