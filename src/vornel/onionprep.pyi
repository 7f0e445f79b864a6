# Types of vornel.onionprep.
import os as os
import subprocess as subprocess
import time as time

from loguru import logger as logger

def ensure_tor_env() -> None:
    """Automates Tor installation, configuration, and verifies complete bootstrap"""
