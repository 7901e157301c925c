pytest_plugins = ["kvharness"]   # the fixtures live with the harness, shared with the front end
