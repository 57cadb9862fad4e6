// Keeps the support library non-empty when no helper file exists yet.
