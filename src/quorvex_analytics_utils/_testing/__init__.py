"""Native hooks used only by the package's own tests."""
