include $(sort $(wildcard $(BR2_EXTERNAL_VELMKORTD_PATH)/package/*/*.mk))
