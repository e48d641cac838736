import os

from hypothesis import settings

# CI runs the same examples every time, so a red run always reproduces;
# local runs keep exploring new ones.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")
