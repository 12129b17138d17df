"""Helpers shared by the tests, the fuzz targets and the leak check: the table of
the callable surface, hostile conversion hooks, error-note checks, the text models,
single-precision rounding and the correctly rounded 2^x model, the thread runner,
and the chat layer's provider rules and SDK typing snippet."""
