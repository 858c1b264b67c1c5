"""The pass/fail tally of a test script: each check prints one line, "ok" or
"FAIL" with what went wrong, and the script ends with the counts and a
status that is 1 when any check failed."""


class Checklist:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        """Counts and prints one check; returns `ok`."""
        if ok:
            self.passed += 1
            print("ok   " + name)
        else:
            self.failed += 1
            print("FAIL " + name + (": " + detail if detail else ""))
        return ok

    def finish(self):
        """Prints the counts; returns the script's exit status."""
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0
