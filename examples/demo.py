"""A short tour of quillgramx on a real piece of text."""
import quillgramx as q

LOG = """2026-12-10 10:15:02 INFO  server started on port 8080
2026-12-10 10:15:07 WARN  disk usage at 91%
2026-12-10 10:16:40 ERROR connection reset by peer
"""

print("quillgramx", q.__version__)
print("lines:", q.rest_of_line().search_string(LOG))
print("line count:", q.LineEnd().search_string_count(LOG))
print("first line:", q.rest_of_line().parse_string(LOG))
