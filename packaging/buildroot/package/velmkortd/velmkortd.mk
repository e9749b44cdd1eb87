################################################################################
#
# velmkortd
#
################################################################################

VELMKORTD_VERSION = 0.3.0
VELMKORTD_LICENSE = MIT
VELMKORTD_LICENSE_FILES = LICENSE
# Built from the checkout this external tree sits in; a release would name a tarball here.
VELMKORTD_SITE = $(realpath $(BR2_EXTERNAL_VELMKORTD_PATH)/../..)
VELMKORTD_SITE_METHOD = local
# Developers' build trees in the checkout are large and of no use to the firmware build.
VELMKORTD_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude='/build*' --exclude='/out'

# An external tree copied out of its checkout would name whatever directory holds it, all of
# which the rsync would copy: refused unless it has this project's event-service header.
VELMKORTD_MARKER = service/zel.h
define VELMKORTD_CHECK_SOURCE
	@[ -f "$(VELMKORTD_SITE)/$(VELMKORTD_MARKER)" ] || { \
		echo "velmkortd: '$(VELMKORTD_SITE)' is not a velmKortd checkout" \
			"(no $(VELMKORTD_MARKER)); keep this external tree in its checkout" >&2; \
		exit 1; }
endef
VELMKORTD_PRE_RSYNC_HOOKS += VELMKORTD_CHECK_SOURCE

# Tests would need GoogleTest for the target; a compiler newer than the project's own must
# not fail the firmware build over a new warning (the project's CI keeps warnings as errors).
# velmKort-logpipe, which the init script starts the daemon through, is installed by default.
VELMKORTD_CONF_OPTS = \
	-DBUILD_TESTING=OFF \
	-DVELM_WERROR=OFF \
	-DVELM_INSTALL_STANDIN=$(if $(BR2_PACKAGE_VELMKORTD_STANDIN),ON,OFF) \
	-DVELM_INSTALL_TOOLS=$(if $(BR2_PACKAGE_VELMKORTD_TOOLS),ON,OFF)

# The record's C header and velmKortd.pc, for the peer's package to build against: staging
# gets them alone, by their install component; the target gets nothing more.
VELMKORTD_INSTALL_STAGING = YES
define VELMKORTD_INSTALL_STAGING_CMDS
	DESTDIR=$(STAGING_DIR) $(BR2_CMAKE) --install $(VELMKORTD_BUILDDIR) --component header
endef

define VELMKORTD_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(VELMKORTD_PKGDIR)/S60velmKortd \
		$(TARGET_DIR)/etc/init.d/S60velmKortd
endef

define VELMKORTD_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(VELMKORTD_PKGDIR)/velmkortd.service \
		$(TARGET_DIR)/usr/lib/systemd/system/velmkortd.service
endef

$(eval $(cmake-package))
